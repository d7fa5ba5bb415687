"""python -m pluvo_tools: the `pluvo` command where its script is not on the PATH."""

import sys

from pluvo_tools.cli import main

sys.exit(main())
