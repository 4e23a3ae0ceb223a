## npy_write (FILE, X): writes the real double array X as a Fortran-ordered
## little-endian float64 .npy file, the format build/mexrun reads. Every bit
## of every value is kept, NaN payloads included.
function npy_write (file, x)
  if (! (isa (x, "double") && isreal (x) && ! issparse (x)))
    error ("npy_write: X must be a real, full double array");
  endif
  dims = size (x);
  shape = sprintf ("%d, ", dims);
  shape = ["(" shape(1:end-1) ")"];
  header = sprintf ("{'descr': '<f8', 'fortran_order': True, 'shape': %s, }", shape);
  ## Magic (6) + version (2) + length (2) + header + newline: a multiple of 64.
  pad = 64 - mod (10 + numel (header) + 1, 64);
  if (pad == 64)
    pad = 0;
  endif
  header = [header repmat(" ", 1, pad) "\n"];
  fid = fopen (file, "w", "ieee-le");
  if (fid < 0)
    error ("npy_write: cannot open %s for writing", file);
  endif
  unwind_protect
    fwrite (fid, [147 double("NUMPY") 1 0], "uint8");
    fwrite (fid, numel (header), "uint16");
    fwrite (fid, header, "char");
    fwrite (fid, x(:), "double");
  unwind_protect_cleanup
    fclose (fid);
  end_unwind_protect
endfunction
