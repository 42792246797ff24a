"""A PPI quick-look of one moment of a sweep, with matplotlib."""

import numpy as np

__all__ = ["plot_ppi"]


def _colour_bar_label(attrs, moment):
    """The long name with the unit in brackets. A unit the long name ends
    with in brackets already (producers' legends such as "DBZH [DBZ]") is
    replaced by the variable's, not repeated."""
    name = attrs.get("long_name", moment)
    units = attrs.get("units")
    if not units:
        return name
    stem, bracket, rest = name.rpartition(" [")
    if bracket and rest.endswith("]") and "[" not in rest:
        name = stem
    return "%s [%s]" % (name, units)


def _edges(centres, wrap=None):
    """Cell edges halfway between neighbouring centres, extended at the ends."""
    centres = np.asarray(centres, dtype=np.float64)
    if centres.size == 1:
        return np.array([centres[0] - 0.5, centres[0] + 0.5])
    steps = np.diff(centres)
    if wrap is not None:
        steps = (steps + wrap / 2) % wrap - wrap / 2  # Shortest way round.
    inner = centres[:-1] + steps / 2
    return np.concatenate([[centres[0] - steps[0] / 2], inner, [centres[-1] + steps[-1] / 2]])


def _ring_step(max_km):
    for step in (1, 2, 5, 10, 25, 50, 100, 200, 500):
        if max_km / step <= 6:
            return step
    return 1000


def plot_ppi(dataset, moment, output=None, ax=None, cmap=None, vmin=None, vmax=None):
    """Draws `moment` of a sweep Dataset (see sweep_to_dataset) as a PPI:
    ground range east and north in km, a colour bar labelled with the
    moment's unit, range rings and a title with the instrument, the sweep's
    time and its fixed angle. Writes the figure to `output` (a path; the
    format follows its suffix) when given; returns the matplotlib Figure."""
    if moment not in dataset.data_vars or dataset[moment].dims != ("azimuth", "range"):
        names = [n for n, v in dataset.data_vars.items() if v.dims == ("azimuth", "range")]
        raise KeyError("no moment %r in the sweep; it has %s"
                       % (moment, ", ".join(names) or "none"))
    var = dataset[moment]

    # Sort rays by azimuth so that neighbouring cells meet.
    order = np.argsort(dataset["azimuth"].values % 360.0)
    azimuth = dataset["azimuth"].values[order]
    elevation = np.deg2rad(np.nan_to_num(dataset["elevation"].values[order]))
    values = np.ma.masked_invalid(np.asarray(var.values, dtype=np.float64)[order])
    az_edges = np.deg2rad(_edges(azimuth, wrap=360.0))
    distance = dataset["range"].values.astype(np.float64)
    r_edges = np.clip(_edges(distance), 0, None)
    metres = dataset["range"].attrs.get("units") == "m"
    scale = 1e-3 if metres else 1.0
    el_edges = np.concatenate([elevation[:1], (elevation[:-1] + elevation[1:]) / 2, elevation[-1:]])
    ground = np.outer(np.cos(el_edges), r_edges) * scale
    x = ground * np.sin(az_edges)[:, None]
    y = ground * np.cos(az_edges)[:, None]

    if ax is None and output is not None:
        # Straight to a file: no pyplot, so no GUI backend and no global state.
        from matplotlib.figure import Figure
        fig = Figure(figsize=(7, 6), dpi=100)
        ax = fig.add_subplot()
    elif ax is None:
        import matplotlib.pyplot as plt
        fig, ax = plt.subplots(figsize=(7, 6), dpi=100)
    else:
        fig = ax.figure
    mesh = ax.pcolormesh(x, y, values, cmap=cmap, vmin=vmin, vmax=vmax, shading="flat")
    fig.colorbar(mesh, ax=ax, label=_colour_bar_label(var.attrs, moment))

    max_r = r_edges[-1] * scale
    step = _ring_step(max_r) if max_r > 0 else 1
    theta = np.linspace(0, 2 * np.pi, 361)
    for ring in np.arange(step, max_r + step / 2, step):
        ax.plot(ring * np.sin(theta), ring * np.cos(theta), color="0.4", lw=0.6, alpha=0.7)
        ax.annotate("%g" % ring, (ring * np.sin(np.pi / 4), ring * np.cos(np.pi / 4)),
                    fontsize=7, color="0.2",
                    bbox={"boxstyle": "round,pad=0.1", "fc": "white", "alpha": 0.6, "lw": 0})
    ax.axhline(0, color="0.4", lw=0.4, alpha=0.5)
    ax.axvline(0, color="0.4", lw=0.4, alpha=0.5)
    ax.set_aspect("equal")
    unit = "km" if metres else "gates"
    ax.set_xlabel("east of the instrument [%s]" % unit)
    ax.set_ylabel("north of the instrument [%s]" % unit)

    times = dataset["time"].values
    times = times[~np.isnat(times)]
    when = np.datetime_as_string(times.min(), unit="s").replace("T", " ") + " UTC" \
        if times.size else "time unknown"
    instrument = dataset.attrs.get("instrument_name") or "unnamed instrument"
    angle = float(dataset["sweep_fixed_angle"]) if "sweep_fixed_angle" in dataset else float("nan")
    ax.set_title("%s  %s\n%s, fixed angle %.1f°" % (instrument, when, moment, angle), fontsize=10)

    if output is not None:
        fig.savefig(output)
    return fig


def plot_product(dataset, variable=None, output=None, ax=None, cmap=None, vmin=None, vmax=None):
    """Draws a product grid (product_to_dataset) in its projection's own
    coordinates, north up, with the CRS's name in the title. Returns the
    Axes; saves to `output` when given."""
    import matplotlib
    if output is not None and ax is None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    if variable is None:
        variable = next(name for name in dataset.data_vars if name != "spatial_ref")
    field = dataset[variable]
    if ax is None:
        _, ax = plt.subplots(figsize=(7, 6))
    mesh = ax.pcolormesh(_edges(dataset["x"].values), _edges(dataset["y"].values), field.values,
                         cmap=cmap, vmin=vmin, vmax=vmax, shading="flat")
    ax.set_aspect("equal")
    ax.figure.colorbar(mesh, ax=ax, label=_colour_bar_label(field.attrs, variable))
    title = variable
    wkt = dataset["spatial_ref"].attrs.get("crs_wkt") if "spatial_ref" in dataset else None
    if wkt:
        try:
            from pyproj import CRS
            title += " - " + CRS.from_wkt(wkt).name
        except Exception:
            pass
    ax.set_title(title)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    if output is not None:
        ax.figure.savefig(output, dpi=100)
    return ax
