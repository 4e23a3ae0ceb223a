## expect_error (F, ID [, NOUT]): calls F with NOUT outputs (default 0) and
## raises unless the call raised an error whose identifier is ID and whose
## message is not empty. Returns the error.
function err = expect_error (f, id, nout)
  if (nargin < 3)
    nout = 0;
  endif
  out = cell (1, nout);
  try
    if (nout == 0)
      f ();
    else
      [out{:}] = f ();
    endif
  catch err
    if (! strcmp (err.identifier, id))
      error ("expected the error %s, got %s (%s)", id, err.identifier, err.message);
    endif
    if (isempty (err.message))
      error ("the error %s has no message", id);
    endif
    return;
  end_try_catch
  error ("expected the error %s, but the call returned", id);
endfunction
