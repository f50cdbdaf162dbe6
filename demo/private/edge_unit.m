% The standard deviation of one component of the Gaussian gradient of the noise alone; a
% picture without noise takes the noise of 8-bit rounding.
function unit = edge_unit(picture, smoothing)
  noise = max(noise_level(picture), 1 / (255 * sqrt(12)));
  unit = noise / (sqrt(8 * pi) * smoothing ^ 2);
end

% Standard deviation of the sensor noise, from the median absolute difference of
% neighbouring pixels (edges are too few to move it); the median over the channels.
function noise = noise_level(picture)
  levels = zeros(1, size(picture, 3));
  for c = 1:size(picture, 3)
    channel = picture(:, :, c);
    steps = [reshape(diff(channel, 1, 1), [], 1); reshape(diff(channel, 1, 2), [], 1)];
    if ~isempty(steps)
      levels(c) = median(abs(steps)) / (0.6745 * sqrt(2));
    end
  end
  noise = median(levels);
end
