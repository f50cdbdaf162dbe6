function varargout = quorvane(varargin)
%QUORVANE  Sparse pixel-affinity weights from edge magnitude and phase.
%   W = QUORVANE(MAGNITUDE, PHASE, IR, JC)
%   W = QUORVANE(MAGNITUDE, PHASE, IR, JC, SIGMA)
%
%   For every pixel pair of the pattern (IR, JC), QUORVANE walks the digital straight
%   line from the column pixel j to the row pixel i and finds the crossing strength m:
%   the largest sum of the magnitudes of two consecutive pixels on the line whose
%   phases differ (m = 0 when the phase never changes along the line). The weight is
%
%       W(i+1, j+1) = exp(-m^2 / (8 * SIGMA^2)),   and 1 on the diagonal,
%
%   so pixels that no edge separates get weight 1 and pixels across a strong edge a
%   weight near 0: the affinity matrix of a normalised-cut segmentation.
%
%   Inputs
%     MAGNITUDE  real full nr x nc matrix (two dimensions), the edge strength of each
%                pixel: double, or single, an integer class or logical, read as
%                double(MAGNITUDE) (a double one is read where it lies, without a copy).
%                Pixels are numbered column-major from 0, np = nr * nc < 2^31.
%     PHASE      real full nr x nc matrix of the same classes, read the same way; only
%                where it changes matters (for instance the sign of a Laplacian of
%                Gaussian, or a quantised angle).
%     IR, JC     the pattern in compressed-column form, class uint32, zero-based.
%                JC has np + 1 elements (any shape): the pairs of column j are
%                k = JC(j+1) .. JC(j+2)-1, pairing pixel j with pixel IR(k+1).
%                QUORVANE_PATTERN builds the usual disc-shaped pattern.
%     SIGMA      scale (optional): one real number of any numeric or logical class.
%                Omitted or empty, it is max([0; MAGNITUDE(:)])/6. Only SIGMA^2
%                enters. SIGMA = 0 gives 0 across an edge and NaN where no edge is
%                crossed.
%
%   Result
%     W          np x np real sparse matrix with exactly one stored entry per pattern
%                entry, in the pattern's order (explicit zeros and NaN included,
%                unsorted and repeated rows kept). The values are bit-for-bit those of
%                the algorithm above. A sixth input is ignored.
%
%   Errors (Octave prefixes them with "quorvane: "), checked in this order:
%     Four input arguments required
%     Too many output arguments
%     Edge magnitude and phase shall be of the same image size
%     Edge magnitude and phase shall have fewer than 2^31 pixels
%     Edge magnitude and phase shall be real double matrices
%                                                     (complex, sparse, non-numeric
%                                                      or more than two dimensions)
%     Index pair shall be of type UINT32
%     Wrong index representation                      (JC without np + 1 elements)
%     Index pair column starts shall not decrease
%     Index pair has fewer row indices than its last column start
%     Index pair row index exceeds the image size     (an IR entry >= np)
%     Sigma shall be a real scalar
%     Not enough memory for the output matrix
%
%   Example: a 1 x 3 image with a phase change between pixels 2 and 3
%     mag = [0 2 0];  phase = [0 0 1];
%     IR = uint32([0 1 2  0 1 2  0 1 2]);  JC = uint32([0 3 6 9]);   % all pairs
%     W = quorvane(mag, phase, IR, JC);    % sigma = 2/6
%     full(W)    % 1 1 e; 1 1 e; e e 1 with e = exp(-2^2 / (8 * (2/6)^2)) = exp(-4.5)
%
%   A normalised-cut embedding (QUORVANE_SEGMENT segments a picture in one call):
%     [IR, JC] = quorvane_pattern(size(img, 1), size(img, 2), 5);
%     W = quorvane(mag, phase, IR, JC);
%     d = full(sum(W, 2));  A = spdiags(1 ./ sqrt(d), 0, numel(d), numel(d));
%     [V, L] = eigs(A * W * A, 6, 'la');   % normalised-cut embedding
%
%   QUORVANE is compiled. In Octave it is a native function (quorvane.oct) that hands
%   its result to Octave as it is, without the copy Octave makes of a MEX file's result;
%   in MATLAB it is a MEX file (quorvane.<mexext>), whose help is this file. Both have
%   this contract and give the same bits. This file also holds the tests ("test
%   quorvane"). Build with "make" or QUORVANE_BUILD.
%
%   See also QUORVANE_PATTERN, QUORVANE_BUILD, EIGS, SPARSE.

  % This runs only where this file's folder comes before the compiled function's on the
  % path (toolbox/private/compiled_call.m).
  varargout = cell(1, max(nargout, 1));
  [varargout{:}] = compiled_call('quorvane', [mfilename('fullpath') '.m'], nargout, varargin{:});
end

%!shared mag, phase, IR, JC, e
%! mag = [0 2 0];
%! phase = [0 0 1];
%! IR = uint32 ([0 1 2 0 1 2 0 1 2]);
%! JC = uint32 ([0 3 6 9]);
%! e = exp (-4.5);

%!test
%! % The example of the help text.
%! W = quorvane (mag, phase, IR, JC);
%! assert (issparse (W));
%! assert (size (W), [3 3]);
%! assert (full (W), [1 1 e; 1 1 e; e e 1], eps);

%!test
%! % Sigma given (only its square counts), empty, or followed by an ignored sixth input.
%! h = exp (-0.5);
%! assert (full (quorvane (mag, phase, IR, JC, 1)), [1 1 h; 1 1 h; h h 1], eps);
%! assert (full (quorvane (mag, phase, IR, JC, -1)), [1 1 h; 1 1 h; h h 1], eps);
%! assert (full (quorvane (mag, phase, IR, JC, [])), [1 1 e; 1 1 e; e e 1], eps);
%! assert (full (quorvane (mag, phase, IR, JC, 1, "x")), [1 1 h; 1 1 h; h h 1], eps);

%!test
%! % Sigma 0: zero across the edge, NaN where no edge is crossed, 1 on the diagonal.
%! W = quorvane (mag, phase, IR, JC, 0);
%! assert (nnz (W), 9);
%! assert (full (W), [1 NaN 0; NaN 1 0; 0 0 1]);

%!test
%! % The pattern's order and repetitions pass through; JC may have any shape.
%! W = quorvane (mag, phase, uint32 ([2 2 0]), uint32 ([0; 3; 3; 3]), 1);
%! [i, j, w] = find (W);
%! assert ([i j w], [3 1 exp(-0.5); 3 1 exp(-0.5); 1 1 1]);

%!test
%! % Single, integer and logical images are read as their doubles.
%! W = quorvane (mag, phase, IR, JC);
%! assert (quorvane (single (mag), phase > 0, IR, JC), W);
%! assert (quorvane (uint8 (mag), int64 (phase), IR, JC), W);
%! big = intmax ("int64") - int64 ([0 1 2]);   % all three round to 2^63
%! assert (quorvane (big, phase, IR, JC), quorvane (double (big), phase, IR, JC));
%! assert (quorvane (big, phase, IR, JC), quorvane (2^63 * [1 1 1], phase, IR, JC));

%!error <quorvane: Four input arguments required> quorvane (mag, phase, IR)
%!error <quorvane: Four input arguments required> [a, b] = quorvane (mag, phase, IR)
%!error <quorvane: Too many output arguments> [a, b] = quorvane (mag, phase, IR, JC)
%!error <same image size> quorvane ([], [], IR, uint32 (0))
%!error <same image size> quorvane (mag, phase', IR, JC)
%!error <fewer than 2\^31 pixels> quorvane (sparse (65536, 32768), sparse (65536, 32768), IR, JC)
%!error <real double matrices> quorvane (mag, phase + 1i, IR, JC)
%!error <real double matrices> quorvane (single (mag) + 1i, phase, IR, JC)
%!error <real double matrices> quorvane (mag, sparse (phase), IR, JC)
%!error <real double matrices> quorvane (mag, sparse (phase > 0), IR, JC)
%!error <real double matrices> quorvane (mag, "abc", IR, JC)
%!error <real double matrices> quorvane (num2cell (mag), phase, IR, JC)
%!error <real double matrices> quorvane (cat (3, mag, mag), [phase phase], IR, uint32 (0:6))
%!error <Index pair shall be of type UINT32> quorvane (mag, phase, double (IR), JC)
%!error <Index pair shall be of type UINT32> quorvane (mag, phase, IR, int32 (JC))
%!error <Wrong index representation> quorvane (mag, phase, IR, JC(1:3))
%!error <column starts shall not decrease> quorvane (mag, phase, IR, uint32 ([0 3 2 9]))
%!error <fewer row indices than its last column start> quorvane (mag, phase, IR(1:8), JC)
%!error <row index exceeds the image size> quorvane (mag, phase, uint32 ([0 1 3 0 1 2 0 1 2]), JC)
%!error <Sigma shall be a real scalar> quorvane (mag, phase, IR, JC, "0.1")
%!error <Sigma shall be a real scalar> quorvane (mag, phase, IR, JC, [0.1 5])
%!error <Sigma shall be a real scalar> quorvane (mag, phase, IR, JC, {1})
