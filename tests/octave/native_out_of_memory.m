function native_out_of_memory(limit_kib)
  % Run with the address space limited to LIMIT_KIB (ulimit -v): an output that cannot be
  % allocated ends the native quorvane's call with its own message, not Octave's, and
  % leaks nothing. Sizes follow the room left under the limit: the call that fails gets its
  % values array but not its row indices, and a later call that needs all but a fraction of
  % that array's size again must still succeed. Ends Octave with status 1 on failure.
  try
    [~, ~, suffix] = fileparts(which('quorvane'));
    assert(strcmp(suffix, '.oct'), 'quorvane is %s, not the native function', which('quorvane'));
    quorvane(1, 1, uint32(0), uint32([0 1]));   % loaded before the room is measured
    room = 1024 * (limit_kib - status_kib('VmSize'));
    n = floor(room / 16);                      % IR takes 4n, leaving 12n
    IR = zeros(n, 1, 'uint32');
    for attempt = 1:3                          % 8n for the values fits, 16n does not
      try
        quorvane(1, 1, IR, uint32([0 n]));
        error('native_out_of_memory: an output of %d entries was allocated', n);
      catch err
        assert(strcmp(err.message, 'quorvane: Not enough memory for the output matrix'), ...
               'got "%s"', err.message);
      end
    end
    m = floor(0.6 * n);                        % 9.6n: fails if 8n of a failed call leaked
    W = quorvane(1, 1, IR, uint32([0 m]));
    assert(nnz(W) == m && full(W(1, 1)) == 1);
    printf('native_out_of_memory: %d entries refused three times, then %d computed\n', n, m);
  catch err
    printf('native_out_of_memory FAILED: %s\n', err.message);
    exit(1);
  end
end

function kib = status_kib(field)
  kib = str2double(regexp(fileread('/proc/self/status'), [field ':\s*(\d+)'], 'tokens', 'once'){1});
end
