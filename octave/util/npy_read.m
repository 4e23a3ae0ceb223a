## X = npy_read (FILE): reads a little-endian float64 .npy file, C- or
## Fortran-ordered, of any number of dimensions, as a double array of its
## shape (a one-dimensional array as a column, a zero-dimensional one as a
## scalar).
function x = npy_read (file)
  fid = fopen (file, "r", "ieee-le");
  if (fid < 0)
    error ("npy_read: cannot open %s", file);
  endif
  unwind_protect
    magic = fread (fid, 8, "uint8")';
    if (numel (magic) != 8 || ! isequal (magic(1:6), [147 double("NUMPY")]))
      error ("npy_read: %s is not a .npy file", file);
    endif
    if (magic(7) == 1)
      len = fread (fid, 1, "uint16");
    else
      len = fread (fid, 1, "uint32");
    endif
    header = char (fread (fid, len, "char")');
    descr = regexp (header, "'descr'\\s*:\\s*'([^']*)'", "tokens", "once");
    if (isempty (descr) || ! any (strcmp (descr{1}, {"<f8", "float64"})))
      error ("npy_read: %s does not hold little-endian float64 values", file);
    endif
    fortran = ! isempty (regexp (header, "'fortran_order'\\s*:\\s*True", "once"));
    shape = regexp (header, "'shape'\\s*:\\s*\\(([^)]*)\\)", "tokens", "once");
    dims = str2double (strsplit (shape{1}, ","));
    dims = dims(! isnan (dims));
    data = fread (fid, prod (dims), "double=>double");
    if (numel (data) != prod (dims))
      error ("npy_read: %s is shorter than its shape says", file);
    endif
  unwind_protect_cleanup
    fclose (fid);
  end_unwind_protect
  switch (numel (dims))
    case 0
      x = data;
    case 1
      x = data(:);
    otherwise
      if (fortran)
        x = reshape (data, dims);
      else
        x = permute (reshape (data, fliplr (dims)), numel (dims):-1:1);
      endif
  endswitch
endfunction
