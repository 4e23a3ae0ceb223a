## noise_sigma in Octave: the same bits as the .mexa64 file in the stand-in
## host, one sigma per volume of a series, every error identifier, and the
## help text.
function cases = test_noise_sigma ()
  cases = {@agrees_with_mexrun, @series_of_volumes, @known_sigma_and_bad_voxels, ...
           @errors, @thread_start_fails, @help_and_dispatch};
endfunction

function agrees_with_mexrun (ctx)
  noisy = test_volume ([30 28 26], 12, 21);
  for flag = [1 0 -1 2.5 0.9]
    ref = mexrun_call (ctx, "noise_sigma", 1, noisy, flag);
    expect_same (noise_sigma (noisy, flag), ref{1}, sprintf ("noise_sigma, flag %g", flag));
  endfor
  expect_same (noise_sigma (noisy, int8 (1)), noise_sigma (noisy, 1), "an integer flag");
endfunction

function series_of_volumes (ctx)
  noisy = test_volume ([24 22 20 3], 9, 22);
  noisy(:, :, :, 2) = noisy(:, :, :, 1) * 2;  # scaling by 2 is exact: so is its sigma
  sigma = noise_sigma (noisy, 1);
  assert (size (sigma), [1 3]);
  for k = 1:3
    expect_same (sigma(k), noise_sigma (noisy(:, :, :, k), 1), sprintf ("volume %d", k));
  endfor
  assert (sigma(2), 2 * sigma(1));
  ref = mexrun_call (ctx, "noise_sigma", 1, noisy, 1);
  expect_same (sigma, ref{1}, "a 4-D series");
  ## A 5-D array is a series too, in memory order; no volumes give an empty row.
  expect_same (noise_sigma (reshape (noisy, [24 22 20 1 3]), 1), sigma, "a 5-D series");
  assert (size (noise_sigma (zeros (24, 22, 20, 0), 1)), [1 0]);
  ## Ready for the filters: one volume's sigma at a time.
  out = quillon (noisy(:, :, :, 2), sigma(2), 1);
  assert (size (out), [24 22 20]);
endfunction

function known_sigma_and_bad_voxels (ctx)
  [noisy, clean] = test_volume ([48 48 40], 10, 23);
  sigma = noise_sigma (noisy, 1);
  assert (abs (sigma / 10 - 1) < 0.05, sprintf ("Rician: %g for 10", sigma));
  randn ("state", 24);
  gaussian = clean + 10 * randn (size (clean));
  assert (abs (noise_sigma (gaussian, 0) / 10 - 1) < 0.05);
  holes = noisy;
  holes(1:101:end) = NaN;
  assert (abs (noise_sigma (holes, 1) / sigma - 1) < 0.03);
  assert (noise_sigma (7 * ones (10, 10, 10), 1), 0);
  assert (noise_sigma (zeros (10, 10, 10), 0), 0);
endfunction

function errors (ctx)
  v = test_volume ([16 16 16], 5, 25);
  expect_error (@() noise_sigma (), "noise_sigma:nargin");
  expect_error (@() noise_sigma (v), "noise_sigma:nargin");
  expect_error (@() noise_sigma (v, 1, 1, 1), "noise_sigma:nargin");
  for bad = {0, 1.5, 65, [1 2], "4"}
    expect_error (@() noise_sigma (v, 1, bad{1}), "noise_sigma:coils");
  endfor
  assert (noise_sigma (v, 1, 1), noise_sigma (v, 1));
  expect_error (@() noise_sigma (v, 1), "noise_sigma:nargout", 3);
  for bad = {single(v), int16(v), v > 100, complex(v, v), sparse(v(:, :, 1)), v(:, :, 1), ...
             7, "text", {v}, struct("v", v)}
    expect_error (@() noise_sigma (bad{1}, 1), "noise_sigma:volume");
  endfor
  for bad = {[1 1], [], 1i, "1", {1}, NaN, 2^31, -2^31 - 1, Inf}
    expect_error (@() noise_sigma (v, bad{1}), "noise_sigma:rician");
  endfor
  expect_error (@() noise_sigma (v(1:14, 1:14, 1:3), 1), "noise_sigma:small");
  expect_error (@() noise_sigma (NaN (16, 16, 16), 1), "noise_sigma:small");
  series = cat (4, v, NaN (size (v)));
  err = expect_error (@() noise_sigma (series, 1), "noise_sigma:small");
  assert (! isempty (strfind (err.message, "Volume 2")));
  ## The session goes on, and the next call is sound.
  assert (noise_sigma (v, 1) > 0);
endfunction

## Thread starts fail after BUDGET successful ones (the preloaded
## fail_thread_start library): in the block, spread and rescaling passes.
function thread_start_fails (ctx)
  v = test_volume ([20 20 20], 5, 26);
  good = noise_sigma (v, 1);
  for budget = [0 1 2 4]
    setenv ("DENOISERS_FAIL_THREAD_START", sprintf ("%d", budget));
    unwind_protect
      expect_error (@() noise_sigma (v, 1), "noise_sigma:threads");
    unwind_protect_cleanup
      unsetenv ("DENOISERS_FAIL_THREAD_START");
    end_unwind_protect
    expect_same (noise_sigma (v, 1), good, sprintf ("after %d thread starts", budget));
  endfor
endfunction

function help_and_dispatch (ctx)
  expected = fullfile (ctx.mexdir, "noise_sigma.mex");
  assert (strcmp (which ("noise_sigma"), expected), which ("noise_sigma"));
  assert (exist ("noise_sigma"), 3);
  text = regexprep (evalc ("help noise_sigma"), "\\s+", " ");
  for phrase = {"SIGMA", "standard deviation", "units of the voxel values", "RICIAN", ...
                "row vector", "Example", "noise_sigma(ima, 1)"}
    if (isempty (strfind (text, phrase{1})))
      error ("help noise_sigma does not mention '%s'", phrase{1});
    endif
  endfor
  for id = {"nargin", "nargout", "volume", "rician", "size", "small", "threads", "memory"}
    if (isempty (regexp (text, ["noise_sigma:" id{1} "\\s"], "once")))
      error ("help noise_sigma does not explain noise_sigma:%s", id{1});
    endif
  endfor
endfunction
