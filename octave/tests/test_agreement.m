## Octave's .mex files give the bits that the .mexa64 files give in the
## stand-in host (through mexrun) on the same inputs.
function cases = test_agreement ()
  cases = {@quillon_flags_and_outputs, @tessary_flags_and_radii, @four_d_volume, ...
           @nan_voxels, @one_slice_and_empty};
endfunction

function quillon_flags_and_outputs (ctx)
  noisy = test_volume ([23 19 17], 12, 1);
  for flag = [0 1 -1 2.5 0.9]
    ref = mexrun_call (ctx, "quillon", 2, noisy, 12, flag);
    [out, first] = quillon (noisy, 12, flag);
    expect_same (out, ref{1}, sprintf ("quillon, flag %g", flag));
    expect_same (first, ref{2}, sprintf ("quillon first estimate, flag %g", flag));
  endfor
  ## Denoising at all: the result is closer to the truth than the input.
  [noisy, clean] = test_volume ([23 19 17], 12, 1);
  out = quillon (noisy, 12, 1);
  assert (norm (out(:) - clean(:)) < 0.7 * norm (noisy(:) - clean(:)));
  ref = mexrun_call (ctx, "quillon", 1, noisy, 0, 1);
  expect_same (quillon (noisy, 0, 1), ref{1}, "quillon, sigma 0");
endfunction

function tessary_flags_and_radii (ctx)
  noisy = test_volume ([21 18 13], 10, 2);
  guide = quillon (noisy, 10, 1);
  for args = {{1, 1, 10, 1}, {2, 1, 10, 0}, {3, 7, 10, 256}, {2, -4, 25.5, 1}, ...
              {0, 1, 10, 1}, {2, 1, 0, 1}, {1, 1, -3, 0}}
    a = args{1};
    ref = mexrun_call (ctx, "tessary", 1, noisy, a{1}, a{2}, a{3}, guide, a{4});
    out = tessary (noisy, a{1}, a{2}, a{3}, guide, a{4});
    expect_same (out, ref{1}, sprintf ("tessary (radius %g, extra %g, sigma %g, flag %g)", a{:}));
  endfor
endfunction

function four_d_volume (ctx)
  noisy = test_volume ([14 12 10 2], 8, 3);
  ref = mexrun_call (ctx, "quillon", 2, noisy, 8, 1);
  [out, first] = quillon (noisy, 8, 1);
  expect_same (out, ref{1}, "quillon, 4-D input");
  expect_same (first, ref{2}, "quillon first estimate, 4-D input");
  ref = mexrun_call (ctx, "tessary", 1, noisy, 2, 1, [8 9], out, 1);
  expect_same (tessary (noisy, 2, 1, [8 9], out, 1), ref{1}, "tessary, 4-D input");
endfunction

function nan_voxels (ctx)
  noisy = test_volume ([16 15 12], 9, 4);
  noisy([5 200 1000 end]) = NaN;
  guide = quillon (noisy, 9, 0);
  for flag = [0 1]
    ref = mexrun_call (ctx, "quillon", 1, noisy, 9, flag);
    expect_same (quillon (noisy, 9, flag), ref{1}, sprintf ("quillon with NaN voxels, flag %d", flag));
    ref = mexrun_call (ctx, "tessary", 1, noisy, 2, 1, 9, guide, flag);
    expect_same (tessary (noisy, 2, 1, 9, guide, flag), ref{1},
                 sprintf ("tessary with NaN voxels, flag %d", flag));
  endfor
  clean_guide = quillon (test_volume ([16 15 12], 9, 4), 9, 1);
  ref = mexrun_call (ctx, "tessary", 1, noisy, 1, 1, 9, clean_guide, 1);
  expect_same (tessary (noisy, 1, 1, 9, clean_guide, 1), ref{1}, "tessary, NaN in the input only");
endfunction

function one_slice_and_empty (ctx)
  noisy = test_volume ([20 17 1], 10, 5);
  assert (ismatrix (noisy));
  ref = mexrun_call (ctx, "tessary", 1, noisy, 2, 1, 10, noisy, 1);
  expect_same (tessary (noisy, 2, 1, 10, noisy, 1), ref{1}, "tessary on one slice");
  ## Empty volumes come back empty, in their own shape.
  expect_same (quillon (zeros (0, 5, 3), 1, 1), zeros (0, 5, 3), "quillon, empty volume");
  expect_same (tessary (zeros (4, 0, 2), 1, 1, 1, zeros (4, 0, 2), 1), zeros (4, 0, 2),
               "tessary, empty volume");
endfunction
