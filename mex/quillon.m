%QUILLON  Block-DCT denoising of a 3-D volume or a series of volumes (MEX file).
%   OUT = QUILLON(NOISY, SIGMA, RICIAN) denoises the volume NOISY and returns
%   a volume of the same size.
%   [OUT, FIRST] = QUILLON(NOISY, SIGMA, RICIAN) also returns the first
%   estimate, the result of the hard-threshold pass alone.
%   QUILLON(NOISY, SIGMA, RICIAN, COILS) denoises a sum-of-squares
%   magnitude of COILS receive channels.
%
%   Arguments
%     NOISY   the noisy volume: a real, full double array [rows, cols, slices],
%             or a series of volumes along the fourth and later dimensions
%             (a diffusion series [rows, cols, slices, directions]). Each
%             volume of a series is denoised on its own, bit for bit as if
%             it had been passed alone; FIRST follows the same rule.
%     SIGMA   the standard deviation of the noise, in the units of the voxel
%             values (not a fraction of the maximum): for a volume scaled to
%             0..255 with 5% noise, SIGMA is about 13. A finite number of at
%             least 0; for a series, one value for all volumes or one value
%             per volume (numel(SIGMA) == prod(size(NOISY, 4:end))). SIGMA 0
%             declares no noise: that volume comes back unchanged, in both
%             outputs.
%     RICIAN  the noise model: 1 for Rician noise (magnitude MRI), 0 for
%             additive Gaussian noise. A positive flag corrects the Rician
%             bias through a lookup table; any non-zero flag clears negative
%             results. The flag is truncated toward zero (0.9 means 0);
%             logical and integer scalars are read as numbers (true is 1).
%     COILS   optional: the receive channels whose squares are summed into
%             the magnitude, a whole number from 1 to 64 (default 1: one
%             coil, Rician noise). SIGMA is then each channel's noise. The
%             bias table maps through the mean of the non-central chi law
%             with 2*COILS degrees of freedom; more than one coil needs a
%             positive RICIAN. COILS 1 gives the bits of the call without it.
%
%   Every overlapping 4x4x4 block is transformed by a 3-D DCT, its small
%   coefficients are cleared (below 2.7*SIGMA in the first pass, where the
%   first estimate's are below SIGMA in the second) and the blocks are
%   averaged back.
%
%   Working range
%     - Each volume needs at least 4 rows, 4 columns and 4 slices (one
%       block); a thinner one raises quillon:size. An empty array comes back
%       empty, in its shape.
%     - The thresholds compare the integer parts of the coefficients with
%       2.7*SIGMA and SIGMA. Data scaled to [0, 1] with a small SIGMA (0.05)
%       has coefficients below 1, whose integer part is 0: most of its
%       structure is cleared with the noise. Scale such data up first (to
%       0..255 or its scanner range, and SIGMA with it) and back afterwards.
%     - A voxel that is not finite (NaN, Inf) passes through unchanged to
%       both outputs and never spreads to its neighbours.
%     - With Rician noise the largest voxel value sizes a lookup table:
%       values above 4194304 (2^22) raise quillon:range; scale the volume
%       (and SIGMA) down. The table maps an observed magnitude to the true
%       value whose expected Rician magnitude it is. Where that value is
%       about 37.6 to 38.6 times SIGMA, exp(-t/2) in the expected magnitude
%       is too small for a normal double; there the exponential is split
%       between the two Bessel factors, so every entry holds the value that
%       belongs to it. (Before, the result could change by several dB when
%       SIGMA changed by 0.1%, at noise of 1 to 2% of the maximum.)
%     - The Rician flag means something else in TESSARY: here -1 is Gaussian
%       noise with negative results cleared and 256 is Rician noise; in
%       TESSARY -1 selects Rician noise and 256 Gaussian noise.
%
%   Threads. The work runs as eight fixed slabs of slices, on as many
%   threads as the process's CPU affinity allows (taskset, a batch
%   scheduler's allocation), and no more than DENOISERS_THREADS when that
%   environment variable is set; with 16 threads or more each slab is cut
%   into bands of columns run side by side. Every count gives the same
%   bits.
%
%   Ctrl-C stops a running call within half a second and raises
%   quillon:interrupted, where the host offers the interrupt to MEX files.
%
%   Typical use, with its output as the guide of TESSARY:
%     out = tessary(ima, 3, 1, sigma, quillon(ima, sigma, rician), rician);
%
%   Errors (ERR.identifier after try/catch; the session always goes on)
%     quillon:nargin       not three or four inputs
%     quillon:nargout      more than two outputs requested
%     quillon:volume       NOISY is not a real, full double array
%     quillon:sigma        SIGMA is not a real numeric scalar (or one value
%                          per volume), or is NaN, infinite or negative
%     quillon:rician       RICIAN is not a real numeric scalar, or is outside
%                          the 32-bit integer range
%     quillon:coils        COILS is not a whole number from 1 to 64, or is
%                          above 1 without Rician noise
%     quillon:size         a side of the volume is below 4, or a volume has
%                          more than 2147483647 voxels, or a dimension above
%                          that: split it, or denoise it in chunks with the
%                          Python package (denoisers denoise IN OUT --chunks 256)
%     quillon:range        with Rician noise, the largest voxel is above
%                          4194304 (2^22): scale the volume and SIGMA down
%     quillon:threads      a worker thread could not be started
%     quillon:memory       not enough memory for the output, the scratch
%                          volumes or the workers' buffers
%     quillon:isa          DENOISERS_ISA names an instruction set this
%                          processor cannot run (or none at all)
%     quillon:interrupted  the call was stopped by Ctrl-C
%
%   Example
%     clean = zeros(64, 64, 48); clean(16:48, 16:48, 12:36) = 200;
%     sigma = 10;
%     noisy = abs(clean + sigma*randn(size(clean)) + 1i*sigma*randn(size(clean)));
%     out = quillon(noisy, sigma, 1);
%
%   See also TESSARY.
