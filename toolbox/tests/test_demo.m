function test_demo(outdir)
  % Runs the demo on data/coins.png and checks what its pictures should show: one
  % background segment covering most of the photograph and the 24 coins each a segment
  % of its own, and every picture written. Throws on the first failed check.
  if exist(outdir, 'dir')
    confirm_recursive_rmdir(false, 'local');
    rmdir(outdir, 's');
  end
  labels = quorvane_demo(outdir);
  check(isequal(size(labels), [303 384]), 'labels do not have the size of the photograph');
  areas = accumarray(labels(:), 1);
  check(max(areas) > 0.5 * numel(labels), 'no background segment covers most of the photograph');
  coins = sum(areas >= 500 & areas <= 10000);   % coins hold 1100 to 3200 pixels
  printf('segments: %d, coin-sized: %d, background: %d pixels\n', numel(areas), coins, max(areas));
  check(coins == 24, sprintf('%d coin-sized segments instead of 24', coins));
  for name = {'input', 'edges', 'weights', 'weights-where', 'eigenvectors', 'segmentation'}
    file = fullfile(outdir, [name{1} '.png']);
    check(exist(file, 'file') == 2, ['missing ' file]);
    picture = imread(file);
    check(numel(picture) > 1000, ['empty picture ' file]);
  end
  check(size(imread(fullfile(outdir, 'segmentation.png')), 3) == 3, 'segmentation is not in colour');
end

function check(condition, message)
  if ~condition
    error('test_demo: %s', message);
  end
end
