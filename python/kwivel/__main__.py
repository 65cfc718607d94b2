"""``python -m kwivel``: the kwivel command."""

import sys

from .cli import main

sys.exit(main())
