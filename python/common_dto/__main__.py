"""Command line: python -m common_dto {plot,info} FILE ...

  plot FILE --sweep N --moment NAME -o ppi.png
      Draws a PPI quick-look of one moment of one sweep.
  info FILE
      Lists the sweeps of the volume with their rays, gates and moments.

FILE is an InstrumentData holding a Volume (or a Sweep), a ray stream,
which is reassembled first (its first volume is used), or a radar file
(ODIM_H5, CF/Radial, ...).
"""

import argparse
import sys


def _load(args):
    from .formats import open_volume
    return open_volume(args.file, None if args.format == "auto" else args.format)


def _plot(args):
    from .dataset import sweep_to_dataset
    from .plot import plot_ppi
    volume = _load(args)
    dataset = sweep_to_dataset(volume, args.sweep)
    plot_ppi(dataset, args.moment, args.output, cmap=args.cmap, vmin=args.vmin, vmax=args.vmax)
    print("wrote %s" % args.output)


def _info(args):
    from .model import format_uuid
    volume = _load(args)
    print("volume %s, instrument %r, %d sweeps" % (
        format_uuid(volume.uuid), volume.instrument.name, len(volume.sweep)))
    for i, sweep in enumerate(volume.sweep):
        moments = ", ".join(sorted(sweep.sweep_moments)) or "no moments"
        print("  sweep %d: fixed angle %g deg, %d rays; %s" % (
            i, sweep.description.fixed_angle_deg, len(sweep.rays), moments))


def main(argv=None):
    from .formats import format_names
    parser = argparse.ArgumentParser(
        prog="python -m common_dto",
        description="Quick looks at common-dto volumes and ray streams.")
    commands = parser.add_subparsers(dest="command", required=True)
    for name, helptext in (("plot", "draw a PPI of one moment of one sweep"),
                           ("info", "list the sweeps and moments of a volume")):
        sub = commands.add_parser(name, help=helptext)
        sub.add_argument("file", help="InstrumentData file, ray stream or radar file")
        sub.add_argument("--format", default="auto",
                         help="what FILE holds: volume, stream, or a radar format (%s); "
                              "default: detect" % ", ".join(format_names()))
    plot = commands.choices["plot"]
    plot.add_argument("--sweep", type=int, default=0, help="sweep index (default 0)")
    plot.add_argument("--moment", required=True, help="moment name (a sweep_moments key)")
    plot.add_argument("-o", "--output", required=True, help="image file, e.g. ppi.png")
    plot.add_argument("--cmap", help="matplotlib colour map")
    plot.add_argument("--vmin", type=float, help="lower end of the colour scale")
    plot.add_argument("--vmax", type=float, help="upper end of the colour scale")
    args = parser.parse_args(argv)
    try:
        (_plot if args.command == "plot" else _info)(args)
    except (OSError, ValueError, KeyError, IndexError) as e:
        print("python -m common_dto: %s" % (e.args[0] if isinstance(e, KeyError) else e),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
