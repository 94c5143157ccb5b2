import sys

from ferrun.cli import main

sys.exit(main())
