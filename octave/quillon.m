%QUILLON  Block-DCT denoising of a 3-D volume (MEX file).
%   OUT = QUILLON(NOISY, SIGMA, RICIAN) denoises the volume NOISY and returns
%   a volume of the same size.
%   [OUT, FIRST] = QUILLON(NOISY, SIGMA, RICIAN) also returns the first
%   estimate, the result of the hard-threshold pass alone.
%
%   Arguments
%     NOISY   the noisy volume: a real, full double array [rows, cols, slices]
%             (a 4-D array is accepted; its first volume, NOISY(:,:,:,1), is
%             denoised and the rest of OUT is zero).
%     SIGMA   the standard deviation of the noise, in the units of the voxel
%             values (not a fraction of the maximum): for a volume scaled to
%             0..255 with 5% noise, SIGMA is about 13.
%     RICIAN  the noise model: 1 for Rician noise (magnitude MRI), 0 for
%             additive Gaussian noise. A positive flag corrects the Rician
%             bias through a lookup table; any non-zero flag clears negative
%             results. The flag is truncated toward zero (0.9 means 0).
%
%   Every overlapping 4x4x4 block is transformed by a 3-D DCT, its small
%   coefficients are cleared (below 2.7*SIGMA in the first pass, where the
%   first estimate's are below SIGMA in the second) and the blocks are
%   averaged back. The work runs on eight threads inside the call.
%
%   Typical use, with its output as the guide of TESSARY:
%     out = tessary(ima, 3, 1, sigma, quillon(ima, sigma, rician), rician);
%
%   Errors (ERR.identifier after try/catch; the session always goes on)
%     quillon:nargin    not exactly three inputs
%     quillon:nargout   more than two outputs requested
%     quillon:volume    NOISY is not a real, full double array of at least
%                       three dimensions
%     quillon:sigma     SIGMA is not a real numeric scalar
%     quillon:rician    RICIAN is not a real numeric scalar, or is outside the
%                       32-bit integer range
%     quillon:size      the volume has more than 2147483647 voxels, or a
%                       dimension above that: split it
%     quillon:range     with Rician noise, the largest voxel is above 4194304
%                       (2^22): scale the volume and SIGMA down
%     quillon:interrupted  Ctrl-C stopped the call
%     quillon:threads   a worker thread could not be started
%     quillon:memory    not enough memory for the output, the scratch
%                       volumes or the workers' buffers
%     quillon:isa       DENOISERS_ISA names an instruction set this
%                       processor cannot run (or none at all)
%
%   Example
%     clean = zeros(64, 64, 48); clean(16:48, 16:48, 12:36) = 200;
%     sigma = 10;
%     noisy = abs(clean + sigma*randn(size(clean)) + 1i*sigma*randn(size(clean)));
%     out = quillon(noisy, sigma, 1);
%
%   See also TESSARY.
