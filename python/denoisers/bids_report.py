"""`denoisers bids --report`: in the derivative dataset, a page per image
(sub-<label>/figures/<derivative name>.html, denoisers.report), a page per
subject (sub-<label>.html) and an index of every image of the run
(index.html, linking every subject page there is), each listing its images
with their status, sigma, residual structure and warnings (or why they
failed), linked to their pages."""
import html
import json
from pathlib import Path

from . import nifti


def page_path(output_dir, scan):
    """Where the page of scan's derivative goes."""
    name = Path(scan.derivative()).name
    return Path(output_dir) / scan.relative.split("/")[0] / "figures" / (
        name[: -len(".nii.gz")] + ".html")


def page_from_files(bids_dir, output_dir, scan):
    """The page of an image already denoised (up to date, its page missing),
    made from its input, its output and its sidecar."""
    from .report import write_report
    from .residual import structure_scores

    image = Path(output_dir) / scan.derivative()
    facts = json.loads(nifti.sidecar_path(image).read_text())
    img, noisy = nifti.load(Path(bids_dir) / scan.relative)
    _, denoised = nifti.load(image)
    sigmas = facts["NoiseSigma"]
    scores = facts.get("ResidualStructure") or structure_scores(noisy, denoised, sigmas)
    write_report(page_path(output_dir, scan), noisy, denoised, facts, sigmas=sigmas,
                 scores=scores, affine=img.affine, noise=facts.get("NoiseModel", "rician"),
                 title=image.name)


def _numbers(values):
    return ", ".join("&ndash;" if v is None else f"{v:.4g}" for v in values or [])


def _row(output_dir, scan, status, detail):
    """One image's row: the facts come from its sidecar (none for a failure)."""
    facts = {}
    if status != "failed":
        try:
            facts = json.loads(nifti.sidecar_path(Path(output_dir) / scan.derivative())
                               .read_text())
        except (OSError, ValueError):
            pass
    notes = [detail] if status == "failed" else facts.get("Warnings") or []
    page = page_path(output_dir, scan)
    link = (f'<a href="{html.escape(page.relative_to(output_dir).as_posix())}">page</a>'
            if page.is_file() else "")
    flag = ' class="warned"' if notes else ""
    return (f"<tr{flag}><td>{html.escape(scan.relative)}</td><td>{status}</td>"
            f"<td>{_numbers(facts.get('NoiseSigma'))}</td>"
            f"<td>{_numbers(facts.get('ResidualStructure'))}</td>"
            f"<td>{'<br>'.join(html.escape(str(n)) for n in notes)}</td><td>{link}</td></tr>")


def _page(title, intro, rows):
    from .report import STYLE

    return (f'<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>'
            f"{html.escape(title)}</title><style>{STYLE}</style></head><body>"
            f"<h1>{html.escape(title)}</h1>{intro}<table class=\"facts\"><tr><th>image</th>"
            "<th>status</th><th>sigma</th><th>residual structure</th><th>warnings</th>"
            f"<th></th></tr>{''.join(rows)}</table></body></html>\n")


def write_pages(output_dir, entries):
    """The pages of the run's subjects and the index of the run's images,
    from entries, (scan, status, detail) of each. Returns the index's
    path."""
    from .report import write_text_atomically

    output_dir = Path(output_dir)
    subjects = {}
    for scan, status, detail in sorted(entries, key=lambda e: e[0].relative):
        subjects.setdefault(scan.relative.split("/")[0], []).append(
            _row(output_dir, scan, status, detail))
    for subject, rows in sorted(subjects.items()):
        write_text_atomically(output_dir / f"{subject}.html", _page(
            subject, '<p><a href="index.html">Index</a></p>', rows))
    # Subject pages of earlier runs (other participants) stay, and are linked.
    links = " ".join(f'<a href="{p.name}">{html.escape(p.stem)}</a>'
                     for p in sorted(output_dir.glob("sub-*.html")))
    index = output_dir / "index.html"
    every = [row for _, rows in sorted(subjects.items()) for row in rows]
    write_text_atomically(index, _page("denoisers: the images of the last run",
                                       f"<p>Subjects: {links}</p>", every))
    return index
