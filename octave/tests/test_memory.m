## Memory running out inside a call, under an address-space limit that the
## ctest test sets (ulimit -v): the call raises NAME:memory, never Octave's
## own Octave:bad-alloc, the session goes on, and the memory comes back for
## the next call.
##
## The test volumes are sized from the room left under the limit, whatever
## the interpreter's own footprint.
function cases = test_memory ()
  cases = {@volumes_beyond_the_limit, @room_for_the_copies_of_the_outputs};
endfunction

## Bytes left under the address-space limit.
function bytes = room_left ()
  [~, limit] = system ("ulimit -v");
  limit_kb = str2double (limit);
  if (isnan (limit_kb))
    error ("this group needs an address-space limit (ulimit -v), got '%s'", strtrim (limit));
  endif
  status = fileread ("/proc/self/status");
  used_kb = str2double (regexp (status, "VmSize:\\s*(\\d+)", "tokens", "once"){1});
  bytes = (limit_kb - used_kb) * 1024;
  printf ("limit %.0f MB, %.0f MB used\n", limit_kb / 1024, used_kb / 1024);
endfunction

## A zero volume of 400x400xN doubles, N as large as `bytes` allows.
function v = volume_of (bytes)
  slices = floor (bytes / (8 * 400 * 400));
  if (slices < 10)
    error ("the limit leaves too little room for a test volume");
  endif
  v = zeros (400, 400, slices);
endfunction

function volumes_beyond_the_limit (ctx)
  small = test_volume ([12 11 10], 5, 40);
  expected_q = quillon (small, 5, 1);
  expected_t = tessary (small, 2, 1, 5, expected_q, 1);
  ## Room for the input and two more volumes (3 < 3.5), not three more (4 > 3.5).
  v = volume_of (room_left () / 3.5);
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

## Octave copies every output into an array of its own once the call has
## returned. A call whose own arrays fit (input, output and two scratch
## volumes: 4 < 4.5) hands its scratch back first, so that copy (a fifth
## volume) fits too; a series, whose scratch is one volume, is refused
## before any work when the copy of its result could not be made.
function room_for_the_copies_of_the_outputs (ctx)
  room = room_left ();
  v = volume_of (room / 4.5);
  v(1) = 1;
  assert (size (quillon (v, 5, 0)), size (v));
  assert (size (tessary (v, 1, 1, 5, v, 0)), size (v));
  clear v;
  ## Input and output of the series fit with one volume's scratch
  ## (2 + 2/4 < 2.7); the copy of the output as well would not (3 > 2.7).
  series = zeros (400, 400, floor (room / 2.7 / (4 * 8 * 400 * 400)), 4);
  expect_error (@() quillon (series, 5, 0), "quillon:memory");
  expect_error (@() tessary (series, 1, 1, 5, series, 0), "tessary:memory");
endfunction
