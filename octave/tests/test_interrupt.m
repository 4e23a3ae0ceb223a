## Ctrl-C while a long call runs: Octave's signal flag, read by the gateways
## while their workers run, stops the call soon after with its interrupted
## error; the session goes on and the next call is sound.
function cases = test_interrupt ()
  cases = {@quillon_interrupted, @tessary_interrupted};
endfunction

## Sends SIGINT to this process after DELAY seconds, from a shell in the
## background, and calls F, which must raise ID; prints the seconds from the
## planned signal to the end of the call (the shell's own start, slow on a
## busy machine, is part of them, so they are a figure, not a check).
function late = interrupted_after (f, id, delay)
  system (sprintf ("sleep %g; kill -INT %d", delay, getpid ()), false, "async");
  started = tic ();
  expect_error (f, id);
  late = toc (started) - delay;
  printf ("         %s: the call ended %.2f s after the planned signal\n", id, late);
endfunction

function quillon_interrupted (ctx)
  v = 500 + 20 * randn (256, 256, 160);  # seconds of work on any machine
  interrupted_after (@() quillon (v, 20, 1), "quillon:interrupted", 0.5);
  small = test_volume ([12 11 10], 5, 90);
  assert (isequal (quillon (small, 5, 1), quillon (small, 5, 1)));
endfunction

function tessary_interrupted (ctx)
  v = 500 + 20 * randn (160, 160, 120);
  interrupted_after (@() tessary (v, 5, 1, 20, v, 1), "tessary:interrupted", 0.5);
  small = test_volume ([12 11 10], 5, 90);
  assert (isequal (tessary (small, 2, 1, 5, small, 1), tessary (small, 2, 1, 5, small, 1)));
endfunction
