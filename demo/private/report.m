function report(start, what)
  fprintf('%7.2f s  %s\n', toc(start), what);
end
