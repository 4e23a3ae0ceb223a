%TESSARY  Guided non-local means denoising of a 3-D volume or a series (MEX file).
%   OUT = TESSARY(NOISY, RADIUS, EXTRA, SIGMA, GUIDE, RICIAN) denoises the
%   volume NOISY and returns a volume of the same size.
%   TESSARY(NOISY, RADIUS, EXTRA, SIGMA, GUIDE, RICIAN, COILS) denoises a
%   sum-of-squares magnitude of COILS receive channels.
%
%   Arguments
%     NOISY   the noisy volume: a real, full double array [rows, cols, slices]
%             (a matrix is a volume of one slice), or a series of volumes
%             along the fourth and later dimensions (a diffusion series
%             [rows, cols, slices, directions]). Each volume of a series is
%             denoised on its own, bit for bit as if it had been passed alone.
%     RADIUS  the search radius in voxels: each voxel is compared with the
%             voxels of the (2*RADIUS+1)^3 cube around it. 3 is typical; the
%             time grows with the cube of the radius.
%     EXTRA   an integer kept for the calling convention; the filter does not
%             use it. Pass 1.
%     SIGMA   the standard deviation of the noise, in the units of the voxel
%             values (not a fraction of the maximum). It sets the filter's
%             strength, SIGMA/3. A finite number; for a series, one value for
%             all volumes or one value per volume (numel(SIGMA) ==
%             prod(size(NOISY, 4:end))). SIGMA 0 declares no noise: that
%             volume comes back unchanged.
%     GUIDE   a pre-filtered array of the size of NOISY (every dimension, so
%             a series needs a guide volume per volume) by which voxels are
%             compared (its values and its local means); usually the output
%             of QUILLON. Its values are never averaged into OUT.
%     RICIAN  the noise model: 1 for Rician noise (magnitude MRI), 0 for
%             additive Gaussian noise. With Rician noise the filter averages
%             squared magnitudes and removes the bias 2*SIGMA^2. The flag is
%             truncated toward zero; its low eight bits count (256 means 0).
%     COILS   optional: the receive channels whose squares are summed into
%             the magnitude, a whole number from 1 to 64 (default 1). SIGMA
%             is then each channel's noise, and the bias removed is
%             2*COILS*SIGMA^2; more than one coil needs Rician noise. COILS
%             1 gives the bits of the call without it.
%
%   RADIUS, EXTRA and RICIAN may be logical or integer scalars, read as
%   numbers (true is 1).
%
%   Working range
%     - Any side of at least 1: TESSARY compares voxels one by one and
%       denoises thin volumes and single slices too. An empty array comes
%       back empty, in its shape.
%     - As in QUILLON, a voxel that is not finite (NaN, Inf) in NOISY, or
%       whose GUIDE value is not, comes back unchanged and never spreads:
%       it is compared with no voxel, and takes no part in a neighbour's
%       local mean.
%     - The Rician flag means something else in QUILLON: here -1 selects
%       Rician noise (its low eight bits are not 0) and 256 Gaussian noise
%       (on macOS, any non-zero flag is Rician); in QUILLON -1 is Gaussian
%       noise with negative results cleared and 256 is Rician noise.
%
%   Threads. The work runs as up to eight fixed slabs of slices, on as many
%   threads as the process's CPU affinity allows (taskset, a batch
%   scheduler's allocation), and no more than DENOISERS_THREADS when that
%   environment variable is set; with twice as many threads as slabs or
%   more each slab is cut into bands of columns run side by side. Every
%   count gives the same bits.
%
%   Ctrl-C stops a running call within half a second and raises
%   tessary:interrupted, where the host offers the interrupt to MEX files.
%
%   Typical use, after QUILLON:
%     out = tessary(ima, 3, 1, sigma, quillon(ima, sigma, rician), rician);
%
%   Errors (ERR.identifier after try/catch; the session always goes on)
%     tessary:nargin       not six or seven inputs
%     tessary:nargout      more than one output requested
%     tessary:volume       NOISY is not a real, full double array
%     tessary:size         a volume has more than 2147483647 voxels, or a
%                          dimension above that: split it, or denoise it in
%                          chunks with the Python package (denoisers denoise
%                          IN OUT --chunks 256)
%     tessary:scalar       RADIUS, EXTRA or RICIAN is not a real numeric
%                          scalar, or SIGMA is neither that nor one value
%                          per volume
%     tessary:range        RADIUS, EXTRA or RICIAN does not truncate to a
%                          32-bit integer
%     tessary:sigma        SIGMA is NaN or infinite
%     tessary:coils        COILS is not a whole number from 1 to 64, or is
%                          above 1 without Rician noise
%     tessary:guide        GUIDE is not a real, full double array
%     tessary:guideSize    GUIDE and NOISY differ in size
%     tessary:threads      a worker thread could not be started
%     tessary:memory       not enough memory for the output, the scratch
%                          volumes or the workers' buffers
%     tessary:isa          DENOISERS_ISA names an instruction set this
%                          processor cannot run (or none at all)
%     tessary:interrupted  the call was stopped by Ctrl-C
%
%   Example
%     clean = zeros(64, 64, 48); clean(16:48, 16:48, 12:36) = 200;
%     sigma = 10;
%     noisy = abs(clean + sigma*randn(size(clean)) + 1i*sigma*randn(size(clean)));
%     out = tessary(noisy, 3, 1, sigma, quillon(noisy, sigma, 1), 1);
%
%   See also QUILLON.
