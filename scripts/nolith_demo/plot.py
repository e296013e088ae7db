"""The demo's picture: the winding-number field on the slice, one panel per input."""

import os

import numpy as np

from . import slicing


def save_figure(path, plane, panels, subtitle):
    """Writes a PNG with one panel per input.

    Each panel is a dict: `title`, `field` (rows, cols) from `compute`,
    `segments` (S, 2, 2) of a surface outline or None, `dots` (K, 2) of cloud
    points near the plane or None, and `caption` (a line of figures).
    """
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.collections import LineCollection

    rows, cols = plane.shape
    aspect = rows / cols
    side = 5.2
    fig, axes = plt.subplots(1, len(panels), figsize=(side * len(panels) + 1.2, (side - 0.9) * aspect + 2.2),
                             squeeze=False,
                             layout="constrained")
    u_name, v_name = plane.axis_names()
    image = None
    for ax, panel in zip(axes[0], panels):
        field = panel["field"]
        image = ax.imshow(field, origin="lower", extent=plane.extent(), cmap="viridis",
                          vmin=0.0, vmax=1.0, interpolation="bilinear")
        u = np.linspace(*plane.u_range, cols)
        v = np.linspace(*plane.v_range, rows)
        # Where the field is fractional: the half-way line and two more.
        ax.contour(u, v, field, levels=[0.25, 0.5, 0.75], colors="white", alpha=0.8,
                   linewidths=[0.6, 1.0, 0.6], linestyles=["dotted", "dashed", "dotted"])
        if panel.get("segments") is not None and len(panel["segments"]):
            ax.add_collection(LineCollection(panel["segments"], colors="#ff4f3b", linewidths=1.6))
        if panel.get("dots") is not None and len(panel["dots"]):
            ax.scatter(panel["dots"][:, 0], panel["dots"][:, 1], s=3, c="#ff4f3b", linewidths=0, zorder=3)
        ax.set_xlim(*plane.u_range)
        ax.set_ylim(*plane.v_range)
        ax.set_aspect("equal")
        ax.set_ylabel(v_name)
        ax.set_title(panel["title"], fontsize=11)
        ax.set_xlabel(f"{u_name}\n{panel['caption']}", fontsize=9)
    bar = fig.colorbar(image, ax=axes[0].tolist(), extend="both", shrink=0.85, pad=0.02)
    bar.set_label("generalized winding number (1 inside, 0 outside)")
    fig.suptitle(f"nolith: winding numbers on the slice {plane.title}\n{subtitle}", fontsize=12)
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=130)
    plt.close(fig)
    return path


def panel_for(geometry, plane, field, caption):
    """The panel of one input: a surface outline for meshes, nearby points for clouds."""
    panel = {"title": f"{geometry.kind}: {geometry.name} ({geometry.size:,})", "field": field,
             "caption": caption, "segments": None, "dots": None}
    if hasattr(geometry, "faces"):
        panel["segments"] = slicing.outline(geometry.vertices, geometry.faces, plane)
    else:
        step = (plane.u_range[1] - plane.u_range[0]) / plane.shape[1]
        panel["dots"] = slicing.points_near(geometry.points, plane, 1.5 * step)
    return panel
