% Means of factor x factor blocks, channel by channel (rows and columns left over at the
% end are dropped).
function small = shrink(picture, factor)
  m = factor * floor([size(picture, 1), size(picture, 2)] / factor);
  if any(m == 0)
    error('quorvane_demo: an image of %d x %d cannot shrink by %d', size(picture, 1), ...
          size(picture, 2), factor);
  end
  if factor == 1
    small = picture;
    return;
  end
  channels = size(picture, 3);
  small = zeros(m(1) / factor, m(2) / factor, channels);
  for c = 1:channels
    a = picture(1:m(1), 1:m(2), c);
    a = reshape(mean(reshape(a, factor, []), 1), m(1) / factor, m(2));
    small(:, :, c) = reshape(mean(reshape(a', factor, []), 1), m(2) / factor, m(1) / factor)';
  end
end
