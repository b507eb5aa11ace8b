"""python3 -m tonescan plot IN OUT.png: a recording's spectrogram with its key presses."""

import argparse
import os
import sys
import tempfile

from . import __version__


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m tonescan",
        description="Pictures of DTMF key presses in recordings.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    plot = commands.add_parser(
        "plot", help="draw a recording's spectrogram with its key presses",
        description="Draws the spectrogram of IN (0 to 2 kHz) with the eight key frequencies as "
                    "faint lines and each key press shaded and labelled, into OUT; the picture's "
                    "format follows OUT's extension (png, svg, pdf, ...).")
    plot.add_argument("input", metavar="IN", help="a recording that python3-soundfile reads")
    plot.add_argument("output", metavar="OUT", help="the picture to write, e.g. call.png")
    plot.add_argument("--redacted", metavar="FILE",
                      help="a redacted copy of IN (dtmf-redact), drawn below it with its masked spans")
    plot.add_argument("--detector", choices=("recording", "library"), default="recording",
                      help="the detector that finds the presses, as dtmf-scan's (default: recording)")
    plot.add_argument("--channel", metavar="N", type=int,
                      help="draw and scan channel N (1-based) alone; by default all, averaged")
    plot.add_argument("--dpi", type=int, default=100, help="pixels per inch (default: 100)")
    args = parser.parse_args(argv)
    try:
        _plot(args)
    except (OSError, ValueError) as error:
        print(f"tonescan: {error}", file=sys.stderr)
        return 1
    return 0


def _plot(args):
    import matplotlib

    # A picture for a file: no window, whether or not there is a display.
    matplotlib.use("Agg")
    from matplotlib import pyplot

    from ._plot import plot

    extension = os.path.splitext(args.output)[1][1:].lower()
    if not extension:
        raise ValueError(f"{args.output}: no extension to tell the picture's format")
    if args.dpi <= 0:
        raise ValueError(f"--dpi {args.dpi} is not a resolution")
    axes = plot(args.input, redacted=args.redacted, detector=args.detector, channel=args.channel)
    figure = (axes[0] if isinstance(axes, tuple) else axes).figure
    figure.suptitle(os.path.basename(args.input), fontsize="medium")
    # Written beside OUT and renamed over it: a failure leaves no partial picture.
    folder = os.path.dirname(os.path.abspath(args.output))
    with tempfile.NamedTemporaryFile(dir=folder, prefix=".tonescan-", suffix="." + extension,
                                     delete=False) as temporary:
        try:
            figure.savefig(temporary, format=extension, dpi=args.dpi)
            temporary.close()
            # A temporary file is private; the picture gets the mode any new file would.
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary.name, 0o666 & ~umask)
            os.replace(temporary.name, args.output)
        except BaseException:
            os.unlink(temporary.name)
            raise
        finally:
            pyplot.close(figure)


if __name__ == "__main__":
    sys.exit(main())
