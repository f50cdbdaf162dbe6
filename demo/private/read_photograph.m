% The photograph in IMAGE_FILE as IMREAD gives it (its own class: uint8, uint16, logical,
% ...; its first frame), a palette resolved to its colours. A file that is missing, a
% folder or not an image is refused in one line that names it.
function picture = read_photograph(image_file)
  if ~ischar(image_file) || size(image_file, 1) ~= 1
    error('quorvane_demo:noFile', 'quorvane_demo: IMAGE_FILE shall be a file name');
  end
  if exist(image_file, 'dir') == 7
    error('quorvane_demo:notImage', 'quorvane_demo: %s is a folder, not an image', image_file);
  end
  if exist(image_file, 'file') ~= 2
    error('quorvane_demo:noFile', 'quorvane_demo: %s: no such file', image_file);
  end
  try
    [picture, map] = imread(image_file);
  catch err
    % imread's own message names the file by its full path and the library's source line.
    reason = regexp(err.message, 'Magick: ([^(]*[^( ])', 'tokens', 'once');
    if isempty(reason)
      reason = {'imread cannot read it'};
    end
    error('quorvane_demo:notImage', 'quorvane_demo: %s is not an image (%s)', image_file, ...
          reason{1});
  end
  if ~isempty(map)
    picture = ind2rgb(picture, map);
  end
end
