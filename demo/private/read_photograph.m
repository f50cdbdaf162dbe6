% The photograph of IMAGE_FILE (ORIGINAL, values in [0, 1]) and IMG, its block means by
% FACTOR, the smallest whole factor that leaves at most s.pixel_budget pixels. A photograph
% whose run would not fit the memory is refused before it is read.
function [original, img, factor] = read_photograph(image_file, s)
  info = imfinfo(image_file)(1);
  factor = shrink_factor([info.Height, info.Width], s.pixel_budget);
  check_memory(image_file, info, factor, s);
  original = read_picture(image_file);
  img = shrink(original, factor);
end

% The smallest whole factor that brings an image of this size within the budget.
function factor = shrink_factor(sz, budget)
  factor = 1;
  while floor(sz(1) / factor) * floor(sz(2) / factor) > budget
    factor += 1;
  end
end

% Refuses, before the photograph is read, one whose run would not fit the memory that is
% available now (or s.available_memory bytes when set): reading it, and the pixel pairs of
% its shrunk image (the weights and what the eigensolve makes of them).
function check_memory(image_file, info, factor, s)
  nr = floor(info.Height / factor);
  nc = floor(info.Width / factor);
  [dr, dc] = ndgrid(-floor(s.radius):floor(s.radius));
  pairs = nr * nc * sum(dr(:) .^ 2 + dc(:) .^ 2 <= s.radius ^ 2);   % at most
  samples = info.Height * info.Width * 3;                           % colour at most
  need = samples * s.bytes_per_sample + pairs * s.bytes_per_pair + nr * nc * s.bytes_per_pixel;
  available = s.available_memory;
  if isempty(available)
    available = available_bytes();
  end
  if need > available
    error(['quorvane_demo: %s (%d x %d pixels, shrunk by %d to %d x %d with %d pixel ' ...
           'pairs) needs about %.2f GB of memory, but %.2f GB is available; shrink it ' ...
           'more (a smaller pixel_budget)'], image_file, info.Height, info.Width, factor, ...
          nr, nc, pairs, need / 1e9, available / 1e9);
  end
end

% MemAvailable of /proc/meminfo, or Inf where there is none.
function bytes = available_bytes()
  bytes = Inf;
  [fid, ~] = fopen('/proc/meminfo', 'r');
  if fid < 0
    return;
  end
  text = fread(fid, Inf, 'char=>char')';
  fclose(fid);
  found = regexp(text, 'MemAvailable:\s*(\d+) kB', 'tokens', 'once');
  if ~isempty(found)
    bytes = 1024 * str2double(found{1});
  end
end

% The photograph as values in [0, 1]: rows x columns x 3 when it has colour (channels that
% differ somewhere), else rows x columns. A palette is resolved, alpha dropped; 8-bit
% values are divided by 255, wider ones by their largest value when it exceeds 1.
function picture = read_picture(image_file)
  [picture, map] = imread(image_file);
  if ~isempty(map)
    picture = ind2rgb(picture, map);
  elseif isa(picture, 'uint8')
    picture = double(picture) / 255;
  else
    picture = double(picture);
    picture = picture / max(max(picture(:)), 1);
  end
  if size(picture, 3) >= 3
    picture = picture(:, :, 1:3);
    if isequal(picture(:, :, 1), picture(:, :, 2), picture(:, :, 3))
      picture = picture(:, :, 1);
    end
  else
    picture = picture(:, :, 1);
  end
end
