import sys

from .doors.cli import main

sys.exit(main())
