%NOISE_SIGMA  Noise standard deviation of a 3-D volume (MEX file).
%   SIGMA = NOISE_SIGMA(VOLUME, RICIAN) estimates the standard deviation of
%   the noise in VOLUME, in the units of the voxel values: the SIGMA that
%   QUILLON and TESSARY take.
%
%   Arguments
%     VOLUME  a real, full double array [rows, cols, slices]. An array of
%             more dimensions is a series of 3-D volumes, VOLUME(:,:,:,k):
%             SIGMA is then a row vector with one value per volume, in the
%             order the volumes lie in memory.
%     RICIAN  the noise model: 1 for Rician noise (magnitude MRI), 0 for
%             additive Gaussian noise. The flag is truncated toward zero;
%             a positive result means Rician (0.9 means 0).
%
%   No noise-only background is needed: the estimate is the median of the
%   finest 3-D Haar wavelet coefficients (high-pass along all three axes)
%   over the flat regions of the object, for Rician noise each corrected for
%   the signal-to-noise ratio around it. Voxels that are exactly zero (a
%   skull-stripped or masked background), NaN or infinite are ignored. A
%   constant volume gives 0. Each volume needs at least 64 whole blocks of
%   2x2x2 voxels (8x8x8 voxels, for instance), and at least 64 blocks whose
%   eight voxels are finite and non-zero.
%
%   Threads. The work runs on as many threads as the process's CPU affinity
%   allows (at most eight), and no more than DENOISERS_THREADS when that
%   environment variable is set. Every count gives the same bits.
%
%   Ctrl-C stops a running call and raises noise_sigma:interrupted, where
%   the host offers the interrupt to MEX files.
%
%   Errors (ERR.identifier after try/catch; the session always goes on)
%     noise_sigma:nargin    not exactly two inputs
%     noise_sigma:nargout   more than one output requested
%     noise_sigma:volume    VOLUME is not a real, full double array of at
%                           least three dimensions
%     noise_sigma:rician    RICIAN is not a real numeric scalar, or is outside
%                           the 32-bit integer range
%     noise_sigma:size      a volume has more than 2147483647 voxels, or the
%                           series more than 2147483647 volumes: split it
%     noise_sigma:small     a volume is too small, or holds too little data
%                           (too many zero or NaN voxels), to estimate from
%     noise_sigma:threads   a worker thread could not be started
%     noise_sigma:memory    not enough memory for the estimator's work arrays
%     noise_sigma:interrupted  the call was stopped by Ctrl-C
%
%   Example
%     sigma = noise_sigma(ima, 1);
%     out = tessary(ima, 3, 1, sigma, quillon(ima, sigma, 1), 1);
%
%   See also QUILLON, TESSARY.
