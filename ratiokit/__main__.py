import sys

from ratiokit.cli import main

sys.exit(main())
