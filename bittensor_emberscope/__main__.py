"""`python -m bittensor_emberscope`: the `emberscope` command."""

import sys

from bittensor_emberscope.cli import main

sys.exit(main())
