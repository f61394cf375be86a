"""``python -m quorvel``: the demonstration, or a subcommand (see ``--help``)."""

import sys

from quorvel.cli import main

sys.exit(main())
