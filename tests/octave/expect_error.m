function expect_error(message, call)
  % Fails unless call() raises exactly quorvane's message (Octave adds the function name).
  try
    call();
  catch err
    if !strcmp(err.message, ['quorvane: ' message])
      error('expected "quorvane: %s", got "%s"', message, err.message);
    end
    return;
  end
  error('expected "quorvane: %s", but the call succeeded', message);
end
