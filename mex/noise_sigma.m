%NOISE_SIGMA  Noise standard deviation of a 3-D volume (MEX file).
%   SIGMA = NOISE_SIGMA(VOLUME, RICIAN[, COILS]) estimates the standard deviation of
%   the noise in VOLUME, in the units of the voxel values: the SIGMA that
%   QUILLON and TESSARY take.
%
%   [SIGMA, INFO] = NOISE_SIGMA(VOLUME, RICIAN) also returns how each
%   volume's sigma was found, one column per volume, by row:
%     1  the series' pooled sigma (the same in every column): the median of
%        the volumes' estimates weighted by the samples behind each; the
%        volumes of one acquisition share one noise level. When the
%        differences between consecutive volumes (repeats) give a lower
%        sigma, but not below half of it, that one
%     2  the estimate used: 1 constant volume, 2 background, 3 tissue
%     3  its confidence: 0 low, 1 medium, 2 high
%     4  the background's estimate (NaN without air, or for Gaussian noise)
%     5  the tissue's estimate (NaN when no block was flat)
%     6  the largest lag-1 correlation of the noise over the three axes
%     7  the step of the data's value grid (0: the values lie on none)
%     8  the voxels or blocks the estimate rests on
%     9  warnings, a sum of: 1 sigma 0 for a varying volume, 2 sigma below
%        the value step, 4 background and tissue more than 25% apart,
%        8 noise correlated above 0.3
%
%   Arguments
%     VOLUME  a real, full double array [rows, cols, slices]. An array of
%             more dimensions is a series of 3-D volumes, VOLUME(:,:,:,k):
%             SIGMA is then a row vector with one value per volume, in the
%             order the volumes lie in memory.
%     RICIAN  the noise model: 1 for Rician noise (magnitude MRI), 0 for
%             additive Gaussian noise. The flag is truncated toward zero;
%             a positive result means Rician (0.9 means 0).
%     COILS   optional: the receive channels whose root sum of squares the
%             magnitude is, a whole number from 1 to 64 (default 1, Rician
%             noise; more needs RICIAN set). SIGMA is then each channel's,
%             as QUILLON and TESSARY take it with the same COILS: the
%             background is fitted to the central chi law with 2*COILS
%             degrees of freedom and the tissue corrected for it.
%
%   Two estimates are made. Background: under Rician noise, the noise-only
%   voxels of the air around the object, found by their local mean square
%   and fitted to the Rayleigh law. Tissue: the median of the finest 3-D
%   Haar wavelet coefficients (high-pass along all three axes) over the
%   object's blocks that are flat inside and around, each corrected for the
%   signal-to-noise ratio around it, for correlated noise and for data on
%   an integer grid. The background's is used when its fit passes its
%   checks, else the tissue's. Voxels that are exactly zero (a
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
%     noise_sigma:nargout   more than two outputs requested
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
