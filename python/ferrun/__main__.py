import sys

from ferrun.launch import main

sys.exit(main())
