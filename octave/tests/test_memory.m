## Memory running out inside a call, under an address-space limit that the
## ctest test sets (ulimit -v): the call raises NAME:memory, the session goes
## on, and the memory comes back for the next call.
##
## The limit leaves room for the interpreter and one 729 MB volume and for
## one or two more volumes, never the three a call creates.
function cases = test_memory ()
  cases = {@volumes_beyond_the_limit};
endfunction

function volumes_beyond_the_limit (ctx)
  [~, limit] = system ("ulimit -v");
  if (isnan (str2double (limit)))
    error ("this group needs an address-space limit (ulimit -v), got '%s'", strtrim (limit));
  endif
  v = zeros (450, 450, 450);
  v(:) = 100;
  small = test_volume ([12 11 10], 5, 40);
  expected_q = quillon (small, 5, 1);
  expected_t = tessary (small, 2, 1, 5, expected_q, 1);
  for k = 1:3
    expect_error (@() quillon (v, 5, 1), "quillon:memory");
    expect_error (@() tessary (v, 1, 1, 5, v, 1), "tessary:memory");
    expect_same (quillon (small, 5, 1), expected_q, "quillon after running out of memory");
    expect_same (tessary (small, 2, 1, 5, expected_q, 1), expected_t,
                 "tessary after running out of memory");
  endfor
  ## A volume of a third of the size fits, and its call goes through.
  w = v(1:150, :, :);
  assert (size (tessary (w, 0, 1, 5, w, 0)), size (w));
endfunction
