## Help text and dispatch: with the help files and the .mex files in one
## folder, the .mex file is what runs and the .m file is what help shows.
function cases = test_help ()
  cases = {@mex_file_runs, @help_text};
endfunction

function mex_file_runs (ctx)
  for name = {"quillon", "tessary"}
    n = name{1};
    expected = fullfile (ctx.mexdir, [n ".mex"]);
    if (! strcmp (which (n), expected))
      error ("which %s gives %s, not %s", n, which (n), expected);
    endif
    assert (exist (n), 3);  # 3: a compiled function
    assert (exist (fullfile (ctx.mexdir, [n ".m"]), "file") == 2);
  endfor
  out = quillon (ones (5, 5, 5), 1, 0);
  assert (size (out), [5 5 5]);
  out = tessary (ones (5, 5, 5), 1, 1, 1, ones (5, 5, 5), 0);
  assert (size (out), [5 5 5]);
endfunction

function help_text (ctx)
  ids.quillon = {"nargin", "nargout", "volume", "sigma", "rician", "coils", "size", "range", ...
                 "threads", "memory", "isa", "interrupted"};
  ids.tessary = {"nargin", "nargout", "volume", "size", "scalar", "range", "sigma", ...
                 "guide", "guideSize", "coils", "threads", "memory", "isa", "interrupted"};
  for name = {"quillon", "tessary"}
    n = name{1};
    text = regexprep (evalc (sprintf ("help %s", n)), "\\s+", " ");
    for phrase = {"SIGMA", "standard deviation", "units of the voxel values", ...
                  "tessary(ima, 3, 1, sigma, quillon(ima, sigma, rician), rician)", ...
                  "RICIAN", "Rician", "Example", "Working range", "series", ...
                  "one value per volume", "SIGMA 0", "not finite", "DENOISERS_THREADS", ...
                  "affinity", "same bits", "Ctrl-C", "-1", "256"}
      if (isempty (strfind (text, phrase{1})))
        error ("help %s does not mention '%s'", n, phrase{1});
      endif
    endfor
    for id = ids.(n)
      if (isempty (regexp (text, [n ":" id{1} "\\s"], "once")))
        error ("help %s does not explain %s:%s", n, n, id{1});
      endif
    endfor
  endfor
endfunction
