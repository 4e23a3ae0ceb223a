## expect_same (A, B, WHAT): raises unless A and B have the same size and the
## same bits in every element (NaN payloads and the sign of zero included).
function expect_same (a, b, what)
  if (! isequal (size (a), size (b)))
    error ("%s: size %s differs from %s", what, mat2str (size (a)), mat2str (size (b)));
  endif
  ba = typecast (a(:), "uint64");
  bb = typecast (b(:), "uint64");
  differ = find (ba != bb);
  if (! isempty (differ))
    error ("%s: %d of %d elements differ, the first at %d (%.17g against %.17g)", what,
           numel (differ), numel (a), differ(1), a(differ(1)), b(differ(1)));
  endif
endfunction
