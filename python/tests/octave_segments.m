function octave_segments(folder, varargin)
  % Segments every picture_*.png under folder with quorvane_segment from each of the folders
  % named after it (each put on the path alone, its entry point reported) and writes the
  % labels as doubles in column-major order, beside the count, into <picture>.<k>.labels and
  % <picture>.<k>.count for the k-th folder; prints each picture's class once.
  pictures = dir(fullfile(folder, 'picture_*.png'));
  for k = 1:numel(varargin)
    addpath(varargin{k});
    printf('%s\n', which('quorvane_segment'));
    for p = pictures'
      file = fullfile(folder, p.name);
      picture = imread(file);
      if k == 1
        printf('%s %s\n', p.name, class(picture));
      end
      [labels, count] = quorvane_segment(picture);
      write_part(sprintf('%s.%d.labels', file, k), labels);
      write_part(sprintf('%s.%d.count', file, k), count);
    end
    rmpath(varargin{k});
    clear quorvane_segment;
  end
end

function write_part(file, values)
  f = fopen(file, 'w');
  fwrite(f, values(:), 'double');
  fclose(f);
end
