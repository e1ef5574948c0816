"""python3 -m vellumotor_tango: the same as the program vellumotor-tango."""

import sys

from .server import main

sys.exit(main())
