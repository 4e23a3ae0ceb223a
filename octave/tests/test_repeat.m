## Calls in one session with changing flags, sizes and radii, errors in
## between: each result has the bits of the same call made first in a fresh
## process (mexrun), so nothing of one call leaks into the next.
function cases = test_repeat ()
  cases = {@quillon_sequence, @tessary_sequence};
endfunction

function quillon_sequence (ctx)
  big = test_volume ([24 20 18], 10, 20);
  small = test_volume ([9 13 7], 4, 21) * 3;
  calls = {{big, 10, 1}, {small, 4, 0}, {big, 10, -1}, {small, 40, 2}, {big, 10, 1}};
  for k = 1:numel (calls)
    c = calls{k};
    ref = mexrun_call (ctx, "quillon", 2, c{:});
    [out, first] = quillon (c{:});
    expect_same (out, ref{1}, sprintf ("quillon call %d", k));
    expect_same (first, ref{2}, sprintf ("quillon call %d, first estimate", k));
    expect_error (@() quillon (small, 4, 1e10), "quillon:rician");
    expect_error (@() quillon (small * 1e8, 4, 1), "quillon:range");
  endfor
endfunction

function tessary_sequence (ctx)
  big = test_volume ([22 19 17], 10, 22);
  small = test_volume ([8 9 5], 5, 23);
  gbig = quillon (big, 10, 1);
  gsmall = quillon (small, 5, 0);
  calls = {{big, 2, 1, 10, gbig, 1}, {small, 1, 1, 5, gsmall, 0}, {big, 3, 1, 10, gbig, 256}, ...
           {small, 2, 1, 5, small, 1}, {big, 1, 1, 10, gbig, 0}, {big, 2, 1, 10, gbig, 1}};
  for k = 1:numel (calls)
    c = calls{k};
    ref = mexrun_call (ctx, "tessary", 1, c{:});
    expect_same (tessary (c{:}), ref{1}, sprintf ("tessary call %d", k));
    expect_error (@() tessary (big, 1, 1, 10, gsmall, 1), "tessary:guideSize");
    expect_error (@() tessary (small, 1, 1, NaN, gsmall, 1), "tessary:sigma");
  endfor
endfunction
