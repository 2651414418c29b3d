"""Shows what the installed velmot module offers.

Run through `make demo`, which builds the module and puts it on the path.
"""
import sys

import velmot


def main() -> int:
    names = getattr(velmot, "__all__", [])
    print(f"velmot from {velmot.__file__}")
    print(f"{len(names)} public names: {', '.join(names) if names else '(none registered yet)'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
