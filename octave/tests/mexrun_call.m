## OUT = mexrun_call (CTX, NAME, NOUT, ARGS...): calls build/NAME.mexa64 in
## the stand-in host through build/mexrun with every argument passed as a
## .npy file, and returns its NOUT outputs in a cell. Raises with mexrun's
## message when the call fails.
function out = mexrun_call (ctx, name, nout, varargin)
  cmd = sprintf ("'%s' '%s'", ctx.mexrun, fullfile (ctx.builddir, [name ".mexa64"]));
  for k = 1:numel (varargin)
    file = fullfile (ctx.tmp, sprintf ("in%d.npy", k));
    npy_write (file, varargin{k});
    cmd = sprintf ("%s '%s'", cmd, file);
  endfor
  for k = 1:nout
    cmd = sprintf ("%s -o '%s'", cmd, fullfile (ctx.tmp, sprintf ("out%d.npy", k)));
  endfor
  [rc, text] = system ([cmd " 2>&1"]);
  if (rc != 0)
    error ("mexrun %s failed (%d): %s", name, rc, text);
  endif
  out = cell (1, nout);
  for k = 1:nout
    out{k} = npy_read (fullfile (ctx.tmp, sprintf ("out%d.npy", k)));
  endfor
endfunction
