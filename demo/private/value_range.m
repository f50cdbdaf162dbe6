% What QUORVANE_SEGMENT divides the picture's values by (alpha left out): 1 when they lie
% within [0, 1], 255 within [0, 255], 65535 within [0, 65535], else their largest magnitude.
function range = value_range(picture)
  values = picture(:, :, 1:min(3, end));
  top = max(double(max(values(:))), -double(min(values(:))));
  range = top;
  for bound = [1 255 65535]
    if top <= bound
      range = bound;
      return;
    end
  end
end
