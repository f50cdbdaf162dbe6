function test_call_checks()
  % Every message of the call contract, in checking order, through the real host.
  mag = [2 4 8]; ph = [0 1 1];
  IR = uint32([0 1 2 0 1 2 0 1 2]); JC = uint32([0 3 6 9]);

  expect_error('Four input arguments required', @() quorvane());
  expect_error('Four input arguments required', @() quorvane(mag, ph, IR));
  expect_error('Four input arguments required', @() two_outputs(mag, ph, IR));
  expect_error('Too many output arguments', @() two_outputs(mag, ph, IR, JC));

  msg = 'Edge magnitude and phase shall be of the same image size';
  expect_error(msg, @() quorvane([], [], IR, JC));
  expect_error(msg, @() quorvane(zeros(0, 3), zeros(0, 3), IR, JC));
  expect_error(msg, @() quorvane(zeros(3, 4), zeros(4, 3), IR, JC));
  expect_error(msg, @() quorvane(mag, ph', IR, JC));
  expect_error(msg, @() quorvane(single(mag), [ph 1], IR, JC));  % size before class

  % 2^31 pixels held cheaply in an empty sparse matrix: size is checked before class.
  huge = sparse(65536, 32768);
  expect_error('Edge magnitude and phase shall have fewer than 2^31 pixels', ...
               @() quorvane(huge, huge, IR, JC));

  % Images of any numeric class or logical are read as double(x); complex, sparse and
  % non-numeric ones are refused.
  msg = 'Edge magnitude and phase shall be real double matrices';
  for bad = {char('abc'), complex(mag, 1), complex(single(mag), 1), sparse(mag), ...
             sparse(mag > 2), {1, 2, 3}, struct('a', {1, 2, 3})}
    expect_error(msg, @() quorvane(bad{1}, ph, IR, JC));
    expect_error(msg, @() quorvane(mag, bad{1}, IR, JC));
  end
  expect_error(msg, @() quorvane(char('abc'), ph, double(IR), JC));  % images first
  % An RGB image is reported as rows x (columns * 3): the same size as a wide phase, but no
  % matrix, whatever its class.
  for rgb = {rand(4, 5, 3), uint8(255 * rand(4, 5, 3))}
    expect_error(msg, @() quorvane(rgb{1}, zeros(4, 15), uint32(0:59), uint32(0:60)));
    expect_error(msg, @() quorvane(zeros(4, 15), rgb{1}, uint32(0:59), uint32(0:60)));
  end
  % The checks after this one still apply to images that are converted.
  expect_error('Index pair shall be of type UINT32', @() quorvane(single(mag), ph > 0, double(IR), JC));
  expect_error('Index pair row index exceeds the image size', ...
               @() quorvane(uint8(mag), int64(ph), uint32([0 1 2 0 1 3 0 1 2]), JC));

  msg = 'Index pair shall be of type UINT32';
  expect_error(msg, @() quorvane(mag, ph, double(IR), JC));
  expect_error(msg, @() quorvane(mag, ph, IR, int32(JC)));
  expect_error(msg, @() quorvane(mag, ph, IR, double(JC)));
  expect_error(msg, @() quorvane(mag, ph, uint64(IR), JC(1:3)));

  msg = 'Wrong index representation';
  expect_error(msg, @() quorvane(mag, ph, IR, JC(1:3)));
  expect_error(msg, @() quorvane(mag, ph, IR, uint32([JC 9])));
  % np + 1 elements in any shape pass.
  assert(nnz(quorvane(mag, ph, IR, JC')) == 9);
  assert(nnz(quorvane(ones(1, 5), ones(1, 5), uint32(0:4), uint32(reshape(0:5, 2, 3)))) == 5);

  expect_error('Index pair column starts shall not decrease', ...
               @() quorvane(mag, ph, IR, uint32([0 6 3 9])));
  expect_error('Index pair has fewer row indices than its last column start', ...
               @() quorvane(mag, ph, IR(1:8), JC));
  expect_error('Index pair row index exceeds the image size', ...
               @() quorvane(mag, ph, uint32([0 1 2 0 1 3 0 1 2]), JC));
  expect_error('Index pair row index exceeds the image size', ...
               @() quorvane(mag, ph, uint32([0 1 2 0 1 2 0 1 intmax('uint32')]), JC));
  % Entries that are never read are never checked.
  W = quorvane([1; 1], [0; 1], uint32([7 intmax('uint32') 1 0]), uint32([2 3 4]), 2);
  assert(nnz(W) == 2);

  % Sigma is one real number of any numeric or logical class, checked after the pattern.
  msg = 'Sigma shall be a real scalar';
  for bad = {'0.1', [0.1 5], complex(1.5, 2), sparse(2), {1}, struct('s', 1), @sin, int8([1 2])}
    expect_error(msg, @() quorvane(mag, ph, IR, JC, bad{1}));
  end
  expect_error('Index pair row index exceeds the image size', ...
               @() quorvane(mag, ph, uint32([0 1 2 0 1 3 0 1 2]), JC, '0.1'));
  for good = {single(0.5), int8(-1), uint64(2), true}
    expect_same_weights(quorvane(mag, ph, IR, JC, good{1}), mag, ph, IR, JC, double(good{1}));
  end

  % Inputs after the fifth are ignored, an empty fifth means no sigma, no output is fine.
  a = quorvane(mag, ph, IR, JC, 1, 'ignored', {});
  assert(isequal(a, quorvane(mag, ph, IR, JC, 1)));
  assert(isequal(quorvane(mag, ph, IR, JC, []), quorvane(mag, ph, IR, JC)));
  assert(isequal(quorvane(mag, ph, IR, JC, {}), quorvane(mag, ph, IR, JC)));
  assert(isequal(quorvane(mag, ph, IR, JC, ''), quorvane(mag, ph, IR, JC)));
  quorvane(mag, ph, IR, JC);
  assert(isequal(ans, quorvane(mag, ph, IR, JC)));
end

function varargout = two_outputs(varargin)
  [varargout{1:2}] = quorvane(varargin{:});
end
