## [NOISY, CLEAN] = test_volume (DIMS, SIGMA, SEED): a small head-like volume
## of size DIMS (an ellipsoid of 180 holding a brighter core of 240, on 0)
## with Rician noise of standard deviation SIGMA, the same for the same SEED.
function [noisy, clean] = test_volume (dims, sigma, seed)
  randn ("state", seed);
  axes = arrayfun (@(n) linspace (-1, 1, n), dims(1:3), "UniformOutput", false);
  [r, c, s] = ndgrid (axes{:});
  clean = 180 * (r.^2 / 0.8 + c.^2 / 0.7 + s.^2 / 0.9 <= 1);
  clean(r.^2 + c.^2 + s.^2 <= 0.15) = 240;
  clean = repmat (clean, [1 1 1 dims(4:end)]);
  noisy = sqrt ((clean + sigma * randn (size (clean))).^2 + (sigma * randn (size (clean))).^2);
endfunction
