function varargout = quorvane_segment(varargin)
%QUORVANE_SEGMENT  Segments of a picture: labels 1..count, one per region.
%   LABELS = QUORVANE_SEGMENT(IMAGE)
%   LABELS = QUORVANE_SEGMENT(IMAGE, OPTIONS)
%   [LABELS, COUNT] = QUORVANE_SEGMENT(...)
%
%   Segments a grey or colour picture into regions that its edges keep apart, with
%   every step compiled: the boundary strength at three scales in units of the
%   picture's own noise, its catchment basins, QUORVANE's weights across the basins
%   over a disc pattern, the basins merged by average linkage, and whole segments of
%   at least OPTIONS.smallest pixels with borders settled on the picture's values.
%   These are the labels of Python's quorvane.segment.segment plus 1, for the same
%   picture held the same way.
%
%   Inputs
%     IMAGE    real, full H x W (grey), H x W x 3 (colour) or H x W x 4 (colour and
%              alpha, which is ignored) array of any numeric class or logical, at least
%              2 x 2 pixels, its values finite and not all equal. It is read as its
%              values: within [0, 1] as they are, within [0, 255] divided by 255,
%              within [0, 65535] by 65535, others by their largest magnitude, so that
%              one photograph as uint8, uint16, double in [0, 1] or double in [0, 255]
%              gives the same labels. Three equal channels are grey.
%     OPTIONS  struct with any of these fields (each a real, finite number):
%                scale     finest scale of the edge filters, in pixels (default 1);
%                          greater than 0, at most the picture's larger side
%                contrast  edge strength, in noise units, that keeps two regions
%                          apart (default 9.4); greater than 0
%                smallest  smallest segment, in pixels (default 8); a whole number
%                          from 1 to 2^53
%                radius    radius of the weights' disc pattern (default 3); at least 0
%
%   Results
%     LABELS   H x W double matrix, the segment of every pixel, 1 .. COUNT, each one
%              connected piece; numbered in the order of their first pixel along the
%              rows (IMAGE(1, 1), IMAGE(1, 2), ...), as the core numbers them.
%     COUNT    the number of segments, max(LABELS(:)).
%
%   Errors, in one line each, checked in this order (identifier, then message):
%     quorvane_segment:nargin     one or two inputs required (IMAGE[, OPTIONS]), got N
%     quorvane_segment:nargout    at most two outputs (LABELS, COUNT), got N
%     quorvane_segment:badImage   IMAGE shall be a numeric or logical array, got ...
%                                 IMAGE shall be real, got ...
%                                 IMAGE shall be full, got ...
%                                 IMAGE shall be H x W or H x W x C, got ...
%                                 the picture shall have 1, 3 or 4 channels, got C
%                                 the picture shall be at least 2 x 2 pixels, got H x W
%                                 the picture shall have fewer than 2^31 pixels, ...
%     quorvane_segment:badOption  OPTIONS shall be a struct of the fields ..., got ...
%                                 OPTIONS shall be one struct, got ...
%                                 unknown option 'NAME': the options are ...
%                                 option 'NAME' shall be a real number, got ...
%                                 option 'NAME' shall be finite, got NaN
%                                 option 'NAME' shall be ... (its range), got VALUE
%     quorvane_segment:tooLarge   a H x W picture with radius R has more than 2^32 - 1
%                                 pairs of pixels to weigh; use a smaller radius
%     quorvane_segment:badImage   the picture holds N NaN values
%                                 the picture holds N infinite values
%                                 the picture is constant: it has no edges to segment by
%     quorvane_segment:outOfMemory  out of memory segmenting the H x W picture
%   Every message starts with "quorvane_segment: ".
%
%   Example, in the root of the sources with the compiled functions on the path:
%     img = imread('data/coins.png');                       % 303 x 384 uint8
%     [labels, count] = quorvane_segment(img);
%     [labels, count] = quorvane_segment(img, struct('contrast', 12, 'smallest', 50));
%
%   QUORVANE_SEGMENT is compiled and shares its steps among threads, one for each processor
%   the process may use, with the same labels on any number. In Octave it is a native
%   function (quorvane_segment.oct); in MATLAB a MEX file (quorvane_segment.<mexext>),
%   whose help is this file. Both have this contract and give the same labels. This file also holds the tests ("test quorvane_segment").
%   Build with "make" or QUORVANE_BUILD.
%
%   See also QUORVANE, QUORVANE_PATTERN, QUORVANE_BUILD.

  % This runs only where this file's folder comes before the compiled function's on the
  % path (toolbox/private/compiled_call.m).
  varargout = cell(1, max(nargout, 1));
  [varargout{:}] = compiled_call('quorvane_segment', [mfilename('fullpath') '.m'], nargout, varargin{:});
end



%!shared picture, truth
%! % Two flat halves under a little noise: the left one is numbered first.
%! randn ("seed", 3);
%! picture = [0.2 * ones(12, 10), 0.8 * ones(12, 10)] + 0.02 * randn (12, 20);
%! truth = [ones(12, 10), 2 * ones(12, 10)];

%!test
%! [labels, count] = quorvane_segment (picture);
%! assert (labels, truth);
%! assert (count, 2);

%!test
%! % The same values in another class or range; options of any numeric class.
%! assert (quorvane_segment (uint8 (round (255 * picture))), truth);
%! assert (quorvane_segment (picture, struct ("smallest", int32 (8), "radius", 2)), truth);

%!error <quorvane_segment: one or two inputs required> quorvane_segment ()
%!error <quorvane_segment: IMAGE shall be real> quorvane_segment (picture + 1i)
%!error <quorvane_segment: the picture shall have 1, 3 or 4 channels, got 2> quorvane_segment (cat (3, picture, picture))
%!error <quorvane_segment: unknown option 'Radius'> quorvane_segment (picture, struct ("Radius", 2))
%!error <quorvane_segment: option 'contrast' shall be greater than 0, got -1> quorvane_segment (picture, struct ("contrast", -1))
%!error <quorvane_segment: the picture is constant> quorvane_segment (ones (3))
