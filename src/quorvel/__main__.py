"""``python -m quorvel`` and the ``quorvel`` command: the demonstration, or
a subcommand (see ``--help``)."""

import signal
import sys


def main() -> int:
    """Run the command; Ctrl-C while it is still loading prints one line too."""
    try:
        from quorvel.cli import main as run

        return run()
    except KeyboardInterrupt:  # before the command's own handling is in place, or after it ends
        if sys.stderr is not None:  # never into standard output instead
            print("quorvel: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT


if __name__ == "__main__":
    sys.exit(main())
