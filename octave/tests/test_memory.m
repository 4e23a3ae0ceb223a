## Memory running out inside a call, under an address-space limit that the
## ctest test sets (ulimit -v): the call raises NAME:memory, the session goes
## on, and the memory comes back for the next call.
##
## The test volume is sized from the room left under the limit: it fits with
## two more of its size, never with the three a call creates, whatever the
## interpreter's own footprint.
function cases = test_memory ()
  cases = {@volumes_beyond_the_limit};
endfunction

function volumes_beyond_the_limit (ctx)
  [~, limit] = system ("ulimit -v");
  limit_kb = str2double (limit);
  if (isnan (limit_kb))
    error ("this group needs an address-space limit (ulimit -v), got '%s'", strtrim (limit));
  endif
  small = test_volume ([12 11 10], 5, 40);
  expected_q = quillon (small, 5, 1);
  expected_t = tessary (small, 2, 1, 5, expected_q, 1);
  status = fileread ("/proc/self/status");
  used_kb = str2double (regexp (status, "VmSize:\\s*(\\d+)", "tokens", "once"){1});
  ## Room for the input and two more volumes (3 < 3.5), not three more (4 > 3.5).
  bytes = (limit_kb - used_kb) * 1024 / 3.5;
  slices = floor (bytes / (8 * 400 * 400));
  if (slices < 10)
    error ("the limit of %d kB leaves too little room (%d kB used)", limit_kb, used_kb);
  endif
  v = zeros (400, 400, slices);
  printf ("limit %.0f MB, %.0f MB used; a volume of 400x400x%d, %.0f MB\n", limit_kb / 1024,
          used_kb / 1024, slices, numel (v) * 8 / 2^20);
  for k = 1:2
    expect_error (@() quillon (v, 5, 1), "quillon:memory");
    expect_error (@() tessary (v, 1, 1, 5, v, 1), "tessary:memory");
    expect_same (quillon (small, 5, 1), expected_q, "quillon after running out of memory");
    expect_same (tessary (small, 2, 1, 5, expected_q, 1), expected_t,
                 "tessary after running out of memory");
  endfor
  ## A volume of a third of the size fits, and its call goes through.
  w = v(1:130, :, :);
  assert (size (tessary (w, 0, 1, 5, w, 0)), size (w));
endfunction
