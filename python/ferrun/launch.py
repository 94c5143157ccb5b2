"""The ``ferrun`` command's entry point. It loads the command's modules itself, so that a
Ctrl-C while they load ends as every Ctrl-C does: one line and exit status 130."""

import sys


def main() -> int:
    try:
        from ferrun.cli import main as run

        return run()
    except KeyboardInterrupt:
        print("ferrun: interrupted", file=sys.stderr)
        return 130
