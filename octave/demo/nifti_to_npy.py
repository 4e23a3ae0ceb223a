"""Converts a NIfTI volume to a float64 .npy file that Octave reads with
octave/util/npy_read.m. The volume keeps its stored voxel order; nibabel
applies the header's scaling.

Usage: nifti_to_npy.py IN.nii[.gz] OUT.npy
"""
import os
import sys

import nibabel as nib
import numpy as np


def main():
    src, dst = sys.argv[1], sys.argv[2]
    image = nib.load(src)
    data = np.asfortranarray(image.get_fdata(dtype=np.float64))
    tmp = dst + ".part.npy"
    np.save(tmp, data)
    os.replace(tmp, dst)  # a cached file is always complete
    print(f"{src}: {'x'.join(map(str, data.shape))} voxels, "
          f"orientation {''.join(nib.aff2axcodes(image.affine))}, saved as {dst}")


if __name__ == "__main__":
    main()
