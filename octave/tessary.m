%TESSARY  Guided non-local means denoising of a 3-D volume (MEX file).
%   OUT = TESSARY(NOISY, RADIUS, EXTRA, SIGMA, GUIDE, RICIAN) denoises the
%   volume NOISY and returns a volume of the same size.
%
%   Arguments
%     NOISY   the noisy volume: a real, full double array [rows, cols, slices]
%             (a matrix is a volume of one slice).
%     RADIUS  the search radius in voxels: each voxel is compared with the
%             voxels of the (2*RADIUS+1)^3 cube around it. 3 is typical; the
%             time grows with the cube of the radius.
%     EXTRA   an integer kept for the calling convention; the filter does not
%             use it. Pass 1.
%     SIGMA   the standard deviation of the noise, in the units of the voxel
%             values (not a fraction of the maximum). It sets the filter's
%             strength, SIGMA/3.
%     GUIDE   a pre-filtered volume of the size of NOISY by which voxels are
%             compared (its values and its local means); usually the output
%             of QUILLON. Its values are never averaged into OUT.
%     RICIAN  the noise model: 1 for Rician noise (magnitude MRI), 0 for
%             additive Gaussian noise. With Rician noise the filter averages
%             squared magnitudes and removes the bias 2*SIGMA^2. The flag is
%             truncated toward zero; its low eight bits count (256 means 0).
%
%   Typical use, after QUILLON:
%     out = tessary(ima, 3, 1, sigma, quillon(ima, sigma, rician), rician);
%
%   Errors (ERR.identifier after try/catch; the session always goes on)
%     tessary:nargin     fewer than six inputs
%     tessary:nargout    more than one output requested
%     tessary:volume     NOISY is not a real, full double array of two or
%                        three dimensions
%     tessary:size       the volume has more than 2147483647 voxels, or a
%                        dimension above that: split it
%     tessary:scalar     RADIUS, EXTRA, SIGMA or RICIAN is not a real numeric
%                        scalar
%     tessary:range      RADIUS, EXTRA or RICIAN does not truncate to a 32-bit
%                        integer
%     tessary:sigma      SIGMA is NaN
%     tessary:guide      GUIDE is not a real, full double array of two or
%                        three dimensions
%     tessary:guideSize  GUIDE and NOISY differ in size
%     tessary:threads    a worker thread could not be started
%     tessary:interrupted  Ctrl-C stopped the call
%     tessary:memory     not enough memory for the output, the scratch
%                        volumes or the workers' buffers
%     tessary:isa        DENOISERS_ISA names an instruction set this
%                        processor cannot run (or none at all)
%
%   Example
%     clean = zeros(64, 64, 48); clean(16:48, 16:48, 12:36) = 200;
%     sigma = 10;
%     noisy = abs(clean + sigma*randn(size(clean)) + 1i*sigma*randn(size(clean)));
%     out = tessary(noisy, 3, 1, sigma, quillon(noisy, sigma, 1), 1);
%
%   See also QUILLON.
