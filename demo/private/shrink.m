% Means of factor x factor blocks of the picture's values, channel by channel (alpha
% dropped; rows and columns left over at the end are dropped), divided by their range so
% that QUORVANE_SEGMENT reads the shrunk picture as it would read the whole one. Factor 1
% leaves the picture as it is.
function small = shrink(picture, factor)
  if factor == 1
    small = picture;
    return;
  end
  h = floor(size(picture, 1) / factor);
  w = floor(size(picture, 2) / factor);
  channels = min(size(picture, 3), 3);
  blocks = reshape(double(picture(1:h * factor, 1:w * factor, 1:channels)), ...
                   factor, h, factor, w, channels);
  % Whole-number values sum exactly: one rounding, at the division.
  small = reshape(sum(sum(blocks, 1), 3), h, w, channels) / (factor ^ 2 * value_range(picture));
end
