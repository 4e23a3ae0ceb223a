## Fifty calls on a volume of the size of a T1 brain, 181x217x181, with the
## process's resident memory read before and after: a leak of anything the
## size of a volume (57 MB) in one call in ten would show as hundreds of MB.
##
## The fifty are a mix that keeps the run short: tessary with radius 1 or 0
## (all of its host arrays are created whatever the radius) in both noise
## models, quillon in both with one or two outputs, and calls that fail
## before and after their arrays exist (a thread start refused needs the
## preloaded library; without it that call is skipped).
function cases = test_fifty ()
  cases = {@fifty_calls_keep_memory_flat};
endfunction

function kb = resident_kb ()
  status = fileread ("/proc/self/status");
  kb = str2double (regexp (status, "VmRSS:\\s*(\\d+)", "tokens", "once"){1});
endfunction

function fifty_calls_keep_memory_flat (ctx)
  v = test_volume ([181 217 181], 12, 30);
  g = quillon (v, 12, 1);
  out = tessary (v, 1, 1, 12, g, 1);
  [out, first] = quillon (v, 12, 0);
  expect_error (@() tessary (v, 1, 1, NaN, g, 1), "tessary:sigma");
  before = resident_kb ();
  rss = zeros (1, 50);
  for k = 1:50
    switch (mod (k, 10))
      case {0, 5}
        out = quillon (v, 12, mod (k, 2));
      case 3
        [out, first] = quillon (v, 12, 1);
      case {1, 4, 7}
        out = tessary (v, 1, 1, 12, g, 1);
      case {2, 6, 8}
        out = tessary (v, 0, 1, 12, g, 0);
      case 9
        expect_error (@() tessary (v, 1, 1, 12, g(:, :, 1:10), 1), "tessary:guideSize");
        setenv ("DENOISERS_FAIL_THREAD_START", "3");
        try
          out = tessary (v, 0, 1, 12, g, 1);
        catch
        end_try_catch
        unsetenv ("DENOISERS_FAIL_THREAD_START");
    endswitch
    rss(k) = resident_kb ();
  endfor
  printf ("resident memory: %.1f MB before the fifty calls, %.1f MB after; lowest %.1f, highest %.1f\n",
          before / 1024, rss(end) / 1024, min (rss) / 1024, max (rss) / 1024);
  growth = rss(end) - before;
  if (growth > 40 * 1024)
    error ("resident memory grew by %.1f MB over fifty calls", growth / 1024);
  endif
  ## The last quarter lies no higher than the first: no slow creep either.
  if (max (rss(38:50)) > max (rss(1:12)) + 8 * 1024)
    error ("resident memory creeps: %.1f MB early, %.1f MB late", max (rss(1:12)) / 1024,
           max (rss(38:50)) / 1024);
  endif
endfunction
