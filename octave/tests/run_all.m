## STATUS = run_all (MEXDIR, BUILDDIR, GROUP...): runs the cases of each
## test_GROUP.m with the plug-ins of MEXDIR on the path and BUILDDIR's
## mexrun and .mexa64 files as the reference. Prints one line per case and a
## closing "N passed, N failed"; STATUS is 0 when every case passed.
##
## A case is a function of one argument, the context; it passes when it
## returns and fails when it raises (see expect_error and expect_same).
## A failing case never ends the run: the next case starts in the same
## session, which is itself a check that no call ended it.
function status = run_all (mexdir, builddir, varargin)
  here = fileparts (mfilename ("fullpath"));
  addpath (fullfile (here, "..", "util"));
  addpath (mexdir);  # in front of everything else on the path
  ctx.mexdir = mexdir;
  ctx.builddir = builddir;
  ctx.mexrun = fullfile (builddir, "mexrun");
  ctx.tmp = tempname ();
  mkdir (ctx.tmp);
  passed = 0;
  failed = 0;
  unwind_protect
    for g = 1:numel (varargin)
      cases = feval (["test_" varargin{g}]);
      for k = 1:numel (cases)
        name = sprintf ("%s.%s", varargin{g}, func2str (cases{k}));
        started = tic ();
        try
          cases{k} (ctx);
          printf ("[  ok  ] %s (%.1f s)\n", name, toc (started));
          passed++;
        catch err
          printf ("[ FAIL ] %s: %s\n", name, err.message);
          for s = 1:numel (err.stack)
            printf ("           at %s line %d\n", err.stack(s).name, err.stack(s).line);
          endfor
          failed++;
        end_try_catch
        fflush (stdout);
      endfor
    endfor
  unwind_protect_cleanup
    confirm_recursive_rmdir (false, "local");
    rmdir (ctx.tmp, "s");
  end_unwind_protect
  printf ("%d passed, %d failed\n", passed, failed);
  status = double (failed > 0 || passed == 0);
endfunction
