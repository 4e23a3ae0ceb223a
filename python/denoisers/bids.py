"""`denoisers bids`: every chosen image of a BIDS dataset denoised into a
BIDS derivative dataset, one file at a time, resumably.

Names are validated with bids_validator (Debian's python3-bids-validator);
the only parsing done here is splitting a valid name into its entities,
suffix and extension. Each file goes through files.denoise_file, the code
of `denoisers denoise`, so an output is the same bytes whichever way it was
made; workflow/Snakefile makes the same files through that command.
"""
import json
import math
import os
import shutil
from dataclasses import dataclass
from pathlib import Path

import nibabel as nib

from .version import version
from . import nifti

SUFFIXES = ("T1w", "T2w", "dwi")
DESC = "denoised"
_NIFTI = (".nii.gz", ".nii")
_GRADIENTS = (".bval", ".bvec")


class BidsError(Exception):
    """A dataset or a selection that cannot be used (one line for the user)."""


def split_name(name):
    """'sub-01_ses-a_run-1_T1w.nii.gz' -> ([('sub','01'), ('ses','a'),
    ('run','1')], 'T1w', '.nii.gz')."""
    stem, dot, rest = name.partition(".")
    parts = stem.split("_")
    entities = [tuple(p.split("-", 1)) for p in parts[:-1] if "-" in p]
    return entities, parts[-1], dot + rest


@dataclass(frozen=True)
class Scan:
    """One input image: its path inside the dataset (POSIX) and its name's parts."""
    relative: str

    @property
    def parts(self):
        return split_name(Path(self.relative).name)

    @property
    def suffix(self):
        return self.parts[1]

    @property
    def uri(self):
        """The BIDS URI that the derivative's sidecar gives as its source."""
        return f"bids:raw:{self.relative}"

    def derivative(self, ext=".nii.gz"):
        """The output's path inside the derivative dataset: the same folders
        and entities, desc-denoised added (a desc already there keeps its
        label in front, so two inputs never share an output)."""
        entities, suffix, _ = self.parts
        desc = dict(entities).get("desc", "")
        kept = [f"{k}-{v}" for k, v in entities if k != "desc"]
        name = "_".join(kept + [f"desc-{desc}{DESC if not desc else DESC.capitalize()}",
                                suffix])
        return str(Path(self.relative).parent / (name + ext))


def _label(text, prefix):
    return text[len(prefix):] if text.startswith(prefix) else text


def find_scans(bids_dir, participants=None, suffixes=SUFFIXES, validate=True):
    """(scans, ignored): the NIfTI images of the given suffixes under
    sub-<label>/[ses-<label>/]<datatype>/, sorted, and the relative paths
    of images with such a suffix whose names are not valid BIDS (skipped)."""
    root = Path(bids_dir)
    if not root.is_dir():
        raise BidsError(f"{bids_dir}: no such folder")
    if validate and not (root / "dataset_description.json").is_file():
        raise BidsError(f"{bids_dir}: no dataset_description.json; not a BIDS dataset "
                        "(--skip-bids-validation to go on)")
    subjects = sorted(p.name for p in root.glob("sub-*") if p.is_dir())
    if participants:
        wanted = [f"sub-{_label(p, 'sub-')}" for p in participants]
        missing = [w for w in wanted if w not in subjects]
        if missing:
            raise BidsError(f"{bids_dir}: no participant {', '.join(missing)}")
        subjects = wanted
    validator = None
    if validate:
        from bids_validator import BIDSValidator
        validator = BIDSValidator()
    scans, ignored = [], []
    for subject in subjects:
        for image in sorted((root / subject).rglob("*.nii*")):
            relative = image.relative_to(root).as_posix()
            depth = relative.count("/")
            _, suffix, ext = split_name(image.name)
            if suffix not in suffixes or ext not in _NIFTI or depth not in (2, 3):
                continue
            if validator is not None and not validator.is_bids("/" + relative):
                ignored.append(relative)
                continue
            scans.append(Scan(relative))
    return scans, ignored


def check_output_dir(bids_dir, output_dir):
    """Refuses an output folder that would write into the raw dataset: the
    dataset's own folder or any folder in it, except under its
    derivatives/ (where BIDS keeps derivative datasets)."""
    raw, out = Path(bids_dir).resolve(), Path(output_dir).resolve()
    if out == raw or (raw in out.parents and raw / "derivatives" not in out.parents):
        raise BidsError(f"{output_dir}: the output folder must not lie in the BIDS dataset "
                        f"{bids_dir}, except under its derivatives/ folder")


# Peak memory of denoising one image, measured on T1 volumes and series of
# them: the series in float64 and its float64 and float32 results (24 bytes
# a voxel), one volume's working copies and the filters' buffers (32 bytes a
# voxel of one volume), and the interpreter with its libraries.
BYTES_PER_VOXEL = 24
BYTES_PER_VOLUME_VOXEL = 32
BASE_MB = 500


def memory_mb(image):
    """The memory, in MB, to ask for when denoising the NIfTI file `image`
    (its header gives the size; an unreadable file, which fails at once,
    gets the least)."""
    try:
        shape = nib.load(str(image)).shape
    except Exception:
        return BASE_MB
    voxels = math.prod(shape)
    volume = math.prod(shape[:3])
    return BASE_MB + math.ceil((BYTES_PER_VOXEL * voxels + BYTES_PER_VOLUME_VOXEL * volume) / 1e6)


def _applicable(bids_dir, scan, ext):
    """The files of extension ext that apply to scan (the inheritance of
    BIDS metadata), from the scan's folder up to the dataset's: for each
    folder, those named by the scan's suffix and a subset of its entities,
    the most specific first."""
    root = Path(bids_dir)
    entities, suffix, _ = scan.parts
    folder = (root / scan.relative).parent
    levels = []
    while True:
        candidates = []
        for f in folder.glob(f"*{suffix}{ext}"):
            e, s, x = split_name(f.name)
            if s == suffix and x == ext and set(e) <= set(entities):
                candidates.append((-len(e), f.name, f))
        levels.append([f for _, _, f in sorted(candidates)])
        if folder == root:
            return levels
        folder = folder.parent


def gradients(bids_dir, scan):
    """The .bval and .bvec that apply to a dwi scan: the nearest in its
    folder or above. Raises BidsError when one is missing."""
    found = []
    for ext in _GRADIENTS:
        nearest = [files[0] for files in _applicable(bids_dir, scan, ext) if files]
        if not nearest:
            raise BidsError(f"{scan.relative}: no {ext} file applies to it")
        found.append(nearest[0])
    return found


def sidecars(bids_dir, scan):
    """The JSON sidecars that apply to scan, in the order BIDS merges them:
    from the dataset's top down, each overriding the ones before."""
    return [f for files in reversed(_applicable(bids_dir, scan, ".json"))
            for f in reversed(files)]


def _replace_atomically(target, write):
    """write(temporary) and then the temporary renamed onto target: never a
    partial target, and the umask's usual mode (as the images have)."""
    temporary = nifti.temporary_beside(target)
    try:
        write(temporary)
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def copy_atomically(source, target):
    """target becomes a copy of source, never a partial one."""
    _replace_atomically(Path(target), lambda temporary: shutil.copyfile(source, temporary))


def write_dataset_description(output_dir, bids_dir):
    """The derivative dataset's dataset_description.json (rewritten only
    when its content changes, atomically)."""
    raw = Path(bids_dir)
    name = raw.resolve().name
    try:
        name = json.loads((raw / "dataset_description.json").read_text())["Name"]
    except (OSError, ValueError, KeyError, TypeError):
        pass
    description = {
        "Name": f"{name}: denoised",
        "BIDSVersion": "1.8.0",
        "DatasetType": "derivative",
        "GeneratedBy": [{"Name": "denoisers", "Version": version(),
                         "Description": "3-D MRI denoising, per file and per volume, "
                         "with the noise level estimated for each volume"}],
        "DatasetLinks": {"raw": str(raw.resolve())},
    }
    text = json.dumps(description, indent=2) + "\n"
    target = Path(output_dir) / "dataset_description.json"
    if target.is_file() and target.read_text() == text:
        return target
    _replace_atomically(target, lambda temporary: temporary.write_text(text))
    return target


def up_to_date(bids_dir, output_dir, scan, method):
    """Whether scan's derivative is complete and made from the input as it
    is now, with this method: the image and its sidecar exist, the sidecar
    names the input's SHA-256 and the image's own size and SHA-256 (so a
    truncated or damaged output is redone), and for dwi the gradient copies
    match."""
    source = Path(bids_dir) / scan.relative
    image = Path(output_dir) / scan.derivative()
    try:
        sidecar = json.loads(nifti.sidecar_path(image).read_text())
        if (sidecar.get("SourceSHA256") != nifti.sha256(source)
                or sidecar.get("Method") != method or sidecar.get("Sources") != [scan.uri]
                or not nifti.matches_record(image, sidecar)):
            return False
    except Exception:  # a missing, unreadable or foreign file: made anew
        return False
    if scan.suffix == "dwi":
        for original, ext in zip(gradients(bids_dir, scan), _GRADIENTS):
            copy = Path(output_dir) / scan.derivative(ext)
            if not copy.is_file() or copy.read_bytes() != original.read_bytes():
                return False
    return True

