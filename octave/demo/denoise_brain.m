## denoise_brain (MEXDIR, VOLUME_NPY, OUTDIR): the main demo. Adds Rician
## noise at 5% of the maximum (fixed seed) to a clean T1 brain volume, runs
## quillon and then tessary (radius 3, extra 1, the true sigma, the Rician
## flag) with the .mex files of MEXDIR, prints the PSNR over the head of each
## stage with the seconds each call took, and saves the middle axial slice,
## noisy | quillon | tessary, as OUTDIR/middle_axial.png.
function denoise_brain (mexdir, volume_npy, outdir)
  here = fileparts (mfilename ("fullpath"));
  addpath (fullfile (here, "..", "util"));
  addpath (mexdir);
  if (! strcmp (which ("quillon"), fullfile (mexdir, "quillon.mex")))
    error ("denoise_brain: %s holds no quillon.mex", mexdir);
  endif

  clean = npy_read (volume_npy);
  peak = max (clean(:));
  sigma = 0.05 * peak;
  randn ("state", 2024);
  noisy = sqrt ((clean + sigma * randn (size (clean))).^2 + (sigma * randn (size (clean))).^2);

  started = tic ();
  [guide, first] = quillon (noisy, sigma, 1);
  t_quillon = toc (started);
  started = tic ();
  final = tessary (noisy, 3, 1, sigma, guide, 1);
  t_tessary = toc (started);

  ## PSNR over the head: the voxels above 10% of the clean maximum, with the
  ## clean maximum as the peak.
  head = clean > 0.1 * peak;
  psnr = @(x) 20 * log10 (peak / sqrt (mean ((x(head) - clean(head)).^2)));

  lines = {sprintf("T1 brain %s, %s voxels; Rician noise, sigma = %.2f (5%% of the maximum, %g)",
                   volume_npy, strjoin (arrayfun (@num2str, size (clean), "UniformOutput", false), "x"),
                   sigma, peak),
           sprintf("PSNR over the head: %d voxels above 10%% of the maximum; peak %g", nnz (head), peak),
           "",
           sprintf("%-24s %12s %10s", "volume", "PSNR (dB)", "seconds"),
           sprintf("%-24s %12.2f %10s", "noisy", psnr (noisy), "-"),
           sprintf("%-24s %12.2f %10s", "quillon, first estimate", psnr (first), "-"),
           sprintf("%-24s %12.2f %10.2f", "quillon", psnr (guide), t_quillon),
           sprintf("%-24s %12.2f %10.2f", "tessary", psnr (final), t_tessary)};
  printf ("%s\n", lines{:});

  if (! exist (outdir, "dir"))
    mkdir (outdir);
  endif
  ## The middle axial slice of each, anterior up, on one grey scale (0 to the
  ## clean maximum), with a dark gap between the three and twice enlarged.
  z = round ((size (clean, 3) + 1) / 2);
  tile = @(v) uint8 (255 * min (max (rot90 (v(:, :, z)) / peak, 0), 1));
  gap = zeros (size (clean, 2), 4, "uint8");
  strip = [tile(noisy), gap, tile(guide), gap, tile(final)];
  strip = uint8 (kron (double (strip), ones (2)));
  png = fullfile (outdir, "middle_axial.png");
  imwrite (strip, png);
  fid = fopen (fullfile (outdir, "table.txt"), "w");
  fprintf (fid, "%s\n", lines{:});
  fclose (fid);
  printf ("\nslice %d of %d, noisy | quillon | tessary: %s\n", z, size (clean, 3), png);
endfunction
