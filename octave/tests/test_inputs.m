## What users pass beyond one plain volume: series of volumes (each denoised
## as if passed alone), volumes too thin for quillon's blocks, and sigma 0.
function cases = test_inputs ()
  cases = {@series_of_volumes, @thin_volumes, @sigma_zero_gives_the_input_back};
endfunction

function series_of_volumes (ctx)
  v = test_volume ([14 12 10 3], 8, 21);
  v(:, :, :, 2) = 3 * v(:, :, :, 2);  # brighter: its own, longer Rician table
  sigma = [8 24 0];
  [out, first] = quillon (v, sigma, 1);
  final = tessary (v, 2, 1, sigma, out, 1);
  for k = 1:3
    [o, f] = quillon (v(:, :, :, k), sigma(k), 1);
    expect_same (out(:, :, :, k), o, sprintf ("quillon, volume %d of a series", k));
    expect_same (first(:, :, :, k), f, sprintf ("first estimate, volume %d of a series", k));
    expect_same (final(:, :, :, k), tessary (v(:, :, :, k), 2, 1, sigma(k), out(:, :, :, k), 1),
                 sprintf ("tessary, volume %d of a series", k));
  endfor
  ## The .mexa64 file in the stand-in host gives the same bits.
  ref = mexrun_call (ctx, "quillon", 2, v, sigma, 1);
  expect_same (out, ref{1}, "quillon series against mexrun");
  expect_same (first, ref{2}, "quillon series first estimate against mexrun");
  ## Any dimensions past the third make the series; one sigma serves all.
  w = reshape (v, [14 12 10 1 3]);
  expect_same (quillon (w, 8, 1), reshape (quillon (v, 8, 1), size (w)), "a 5-D series");
  expect_error (@() quillon (v, [8 8], 1), "quillon:sigma");
  expect_error (@() quillon (v, [8 NaN 8], 1), "quillon:sigma");
  expect_error (@() tessary (v, 2, 1, [8 Inf 8], out, 1), "tessary:sigma");
  expect_error (@() tessary (v, 2, 1, 8, out(:, :, :, 1), 1), "tessary:guideSize");
endfunction

## quillon's 4x4x4 blocks need four voxels along each side; an empty array
## still comes back empty. tessary compares voxels one by one and denoises
## thin volumes and single slices too.
function thin_volumes (ctx)
  for dims = {[64 64 3], [64 3 64], [2 64 64], [64 64], [1 64 64 2]}
    err = expect_error (@() quillon (100 * ones (dims{1}), 5, 0), "quillon:size");
    if (isempty (strfind (err.message, "at least 4")))
      error ("quillon:size for %s does not give the minimum: %s", mat2str (dims{1}), err.message);
    endif
  endfor
  expect_same (quillon (zeros (0, 3, 2), 5, 0), zeros (0, 3, 2), "an empty thin volume");
  randn ("state", 24);
  for dims = {[64 64 3], [1 64 64], [64 64]}
    clean = 100 * ones (dims{1});
    noisy = clean + 5 * randn (dims{1});
    out = tessary (noisy, 2, 1, 5, clean, 0);  # a guide as a good pre-filter gives it
    if (! (norm (out(:) - clean(:)) < 0.7 * norm (noisy(:) - clean(:))))
      error ("tessary does not denoise a %s volume", mat2str (dims{1}));
    endif
  endfor
endfunction

## sigma 0 declares no noise: the input comes back unchanged, from both
## filters and in both of quillon's outputs, whatever the noise model.
function sigma_zero_gives_the_input_back (ctx)
  v = test_volume ([12 11 10], 6, 25);
  v(7) = -2;
  for flag = [0 1]
    [out, first] = quillon (v, 0, flag);
    expect_same (out, v, sprintf ("quillon, sigma 0, flag %d", flag));
    expect_same (first, v, sprintf ("quillon first estimate, sigma 0, flag %d", flag));
    expect_same (tessary (v, 2, 1, 0, v, flag), v, sprintf ("tessary, sigma 0, flag %d", flag));
  endfor
endfunction
