## Every error of both gateways, raised inside Octave and caught by
## identifier; after each, the session goes on and the next call is sound.
##
## The thread-start failures need the preloaded fail_thread_start library
## (the ctest test sets LD_PRELOAD); without it those cases fail.
function cases = test_errors ()
  cases = {@quillon_arguments, @tessary_arguments, @dimensions_beyond_32_bits, ...
           @quillon_thread_start_fails, @tessary_thread_start_fails};
endfunction

function quillon_arguments (ctx)
  v = test_volume ([9 8 7], 5, 10);
  expect_error (@() quillon (), "quillon:nargin");
  expect_error (@() quillon (v, 5), "quillon:nargin");
  expect_error (@() quillon (v, 5, 1, 1, 1), "quillon:nargin");
  ## COILS: optional, a whole number from 1 to 64, above 1 only with Rician noise.
  expect_same (quillon (v, 5, 1, 1), quillon (v, 5, 1), "one coil");
  for bad = {0, 1.5, 65, NaN, -1, [1 2], "2", {2}}
    expect_error (@() quillon (v, 5, 1, bad{1}), "quillon:coils");
  endfor
  expect_error (@() quillon (v, 5, 0, 2), "quillon:coils");
  expect_error (@() quillon (v, 5, 1), "quillon:nargout", 3);
  for bad = {single(v), int16(v), v > 100, complex(v, v), sparse(v(:, :, 1)), "text", {v}, ...
             struct("v", v)}
    expect_error (@() quillon (bad{1}, 5, 1), "quillon:volume");
  endfor
  ## sigma is a noise level: finite, not negative; one value, or one per volume.
  for bad = {[5 5], [], 5i, "5", {5}, sparse(5), struct("s", 5), NaN, Inf, -Inf, -1}
    expect_error (@() quillon (v, bad{1}, 1), "quillon:sigma");
  endfor
  for bad = {[1 1], [], 1i, "1", {1}, struct("r", 1), NaN, 2^31, -2^31 - 1, Inf}
    expect_error (@() quillon (v, 5, bad{1}), "quillon:rician");
  endfor
  big = v;
  big(3) = 2e8;
  expect_error (@() quillon (big, 5, 1), "quillon:range");
  big(3) = 1e300;  # without Rician noise there is no table to size
  assert (size (quillon (big, 5, 0)), size (v));
  ## Numeric scalars of any class are accepted, and so are logical ones.
  expect_same (quillon (v, single (5), int8 (1)), quillon (v, 5, 1), "integer and single scalars");
  expect_same (quillon (v, 5, true), quillon (v, 5, 1), "a logical flag");
endfunction

function tessary_arguments (ctx)
  v = test_volume ([9 8 7], 5, 11);
  g = quillon (v, 5, 1);
  ok = @(varargin) tessary (v, 1, 1, 5, g, 1, varargin{:});
  expect_error (@() tessary (), "tessary:nargin");
  expect_error (@() tessary (v, 1, 1, 5, g), "tessary:nargin");
  expect_error (@() ok (), "tessary:nargout", 2);
  expect_error (@() ok (1, 1), "tessary:nargin");  % an eighth input is refused
  expect_same (ok (1), ok (), "one coil");
  for bad = {0, 2.5, 65, NaN, [1 2], "2"}
    expect_error (@() ok (bad{1}), "tessary:coils");
  endfor
  expect_error (@() tessary (v, 1, 1, 5, g, 0, 4), "tessary:coils");
  for bad = {single(v), int32(v), v > 100, complex(v, v), sparse(v(:, :, 1)), "text", {v}}
    expect_error (@() tessary (bad{1}, 1, 1, 5, g, 1), "tessary:volume");
  endfor
  for bad = {[1 1], [], 1i, "1", {1}, struct("a", 1)}
    expect_error (@() tessary (v, bad{1}, 1, 5, g, 1), "tessary:scalar");
    expect_error (@() tessary (v, 1, bad{1}, 5, g, 1), "tessary:scalar");
    expect_error (@() tessary (v, 1, 1, bad{1}, g, 1), "tessary:scalar");
    expect_error (@() tessary (v, 1, 1, 5, g, bad{1}), "tessary:scalar");
  endfor
  for bad = {2^31, -2^31 - 1, NaN, Inf, -Inf}
    expect_error (@() tessary (v, bad{1}, 1, 5, g, 1), "tessary:range");
    expect_error (@() tessary (v, 1, bad{1}, 5, g, 1), "tessary:range");
    expect_error (@() tessary (v, 1, 1, 5, g, bad{1}), "tessary:range");
  endfor
  for bad = {NaN, Inf, -Inf}
    expect_error (@() tessary (v, 1, 1, bad{1}, g, 1), "tessary:sigma");
  endfor
  for bad = {single(g), complex(g, g), sparse(g(:, :, 1)), "g", 5 > 1}
    expect_error (@() tessary (v, 1, 1, 5, bad{1}, 1), "tessary:guide");
  endfor
  for bad = {g(:, :, 1:6), g(1:8, :, :), permute(g, [2 1 3]), g(:, :, 1), repmat(g, [1 1 1 2])}
    expect_error (@() tessary (v, 1, 1, 5, bad{1}, 1), "tessary:guideSize");
  endfor
  expect_same (tessary (v, int8 (1), single (1), 5, g, uint8 (1)), ok (), "integer and single scalars");
  expect_same (tessary (v, true, 1, 5, g, true), ok (), "logical scalars");
endfunction

## A dimension that does not fit 32 bits is reported, never truncated: empty
## arrays with such a dimension cost no memory.
function dimensions_beyond_32_bits (ctx)
  expect_error (@() quillon (zeros (2^32, 0, 2), 1, 1), "quillon:size");
  expect_error (@() quillon (zeros (3, 2^32 + 5, 0), 1, 1), "quillon:size");
  expect_error (@() quillon (zeros (0, 2^32, 2), 1, 1), "quillon:size");
  expect_error (@() quillon (zeros (1, 1, 0, 2^32), 1, 1), "quillon:size");
  expect_error (@() tessary (zeros (2^32, 0), 1, 1, 1, zeros (2^32, 0), 1), "tessary:size");
  expect_error (@() tessary (zeros (0, 2^32), 1, 1, 1, zeros (0, 2^32), 1), "tessary:size");
  expect_error (@() tessary (zeros (1, 0, 2^31), 1, 1, 1, zeros (1, 0, 2^31), 1), "tessary:size");
  ## 2^31 - 1 itself fits.
  assert (size (quillon (zeros (0, 2^31 - 1, 2), 1, 1)), [0, 2^31 - 1, 2]);
endfunction

## Thread starts fail after BUDGET successful ones; the call must raise ID,
## print its notice, and leave nothing behind that changes the next call.
function thread_start_fails (call, id, budget)
  setenv ("DENOISERS_FAIL_THREAD_START", sprintf ("%d", budget));
  unwind_protect
    printed = evalc ("expect_error (call, id);");
  unwind_protect_cleanup
    unsetenv ("DENOISERS_FAIL_THREAD_START");
  end_unwind_protect
  if (isempty (strfind (printed, "Threads cannot be created")))
    error ("%s with %d thread starts: nothing printed (%s)", id, budget, printed);
  endif
endfunction

## Threads a pass of eight slabs starts: the slabs share the processors the
## process may use.
function n = starts_of_a_pass ()
  n = min (8, nproc ());
  cap = str2double (getenv ("DENOISERS_THREADS"));
  if (cap >= 1)
    n = min (n, cap);
  endif
endfunction

function quillon_thread_start_fails (ctx)
  v = test_volume ([12 11 10], 6, 12);
  before = quillon (v, 6, 1);
  n = starts_of_a_pass ();
  for budget = unique ([0 n-1 n 2*n-1])  # in the first pass, at its end, in the second pass
    thread_start_fails (@() quillon (v, 6, 1), "quillon:threads", budget);
    expect_same (quillon (v, 6, 1), before, sprintf ("quillon after %d thread starts", budget));
  endfor
endfunction

function tessary_thread_start_fails (ctx)
  v = test_volume ([12 11 10], 6, 13);
  g = quillon (v, 6, 1);
  before = tessary (v, 2, 1, 6, g, 1);
  for budget = unique ([0 starts_of_a_pass()-1])
    thread_start_fails (@() tessary (v, 2, 1, 6, g, 1), "tessary:threads", budget);
    expect_same (tessary (v, 2, 1, 6, g, 1), before, sprintf ("tessary after %d thread starts", budget));
  endfor
endfunction
