"""python -m vever --version: the package's and the engine's versions."""

import argparse
import sys


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m vever",
                                description="The Python binding of vever_core. The live page "
                                "is python -m vever.serve.")
    p.add_argument("--version", action="store_true",
                   help="print the package's and the engine library's versions")
    args = p.parse_args(argv)
    if not args.version:
        p.print_help()
        return 0
    try:
        import vever
    except OSError as e:  # the engine library could not be loaded
        print("python -m vever: %s" % e, file=sys.stderr)
        return 1
    print("vever %s, engine %s (%s)" % (vever.__version__, vever.engine_version(),
                                       vever.library_path()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
