function native_out_of_memory(limit_kib)
  % Run with the address space limited to LIMIT_KIB (ulimit -v): an output, or the double
  % copy of a single image, that cannot be allocated ends the native quorvane's call with
  % its own message, not Octave's, and leaks nothing; so does a disc pattern too large for
  % the memory. Sizes follow the room left under the limit: the call that fails gets its
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
    clear IR W;

    % Single images whose double copies do not fit: 4p for the image and 4p for JC fit,
    % the two copies of 8p each do not. The same message, and nothing kept: a quarter of
    % the size then takes 2p, copies of 4p and column starts of 2p (8p of the 12p).
    room = 1024 * (limit_kib - status_kib('VmSize'));
    p = floor(room / 12);
    image = zeros(p, 1, 'single');
    JC = zeros(p + 1, 1, 'uint32');
    for attempt = 1:3
      try
        quorvane(image, image, uint32([]), JC);
        error('native_out_of_memory: copies of %d pixels were allocated', p);
      catch err
        assert(strcmp(err.message, 'quorvane: Not enough memory for the output matrix'), ...
               'got "%s"', err.message);
      end
    end
    clear image JC;
    q = floor(p / 4);
    image = zeros(q, 1, 'single');
    W = quorvane(image, image, uint32([]), zeros(q + 1, 1, 'uint32'));
    assert(size(W, 1) == q && nnz(W) == 0);
    printf('native_out_of_memory: copies of %d pixels refused three times, then %d read\n', p, q);

    % A disc pattern whose IR (about 1.1e9 pairs, 4.4 GB) cannot be allocated: the native
    % quorvane_pattern's own message with the count, Octave's identifier.
    try
      quorvane_pattern(500, 500, 40);
      error('native_out_of_memory: a pattern of 4.4 GB was allocated');
    catch err
      pairs = str2double(regexp(err.message, '^quorvane_pattern: out of memory for (\d+) pairs$', ...
                                'tokens', 'once'));
      assert(strcmp(err.identifier, 'Octave:out-of-memory') && pairs > 1e9 && pairs < 2^32, ...
             'got "%s" (%s)', err.message, err.identifier);
    end
    [IR, JC] = quorvane_pattern(50, 50, 4);
    assert(numel(JC) == 2501 && numel(IR) == JC(end));
    printf('native_out_of_memory: a pattern of %d pairs refused, then a small one made\n', pairs);
  catch err
    printf('native_out_of_memory FAILED: %s\n', err.message);
    exit(1);
  end
end

function kib = status_kib(field)
  kib = str2double(regexp(fileread('/proc/self/status'), [field ':\s*(\d+)'], 'tokens', 'once'){1});
end
