"""`python -m morvex`: the same command line as the `morvex` script."""

from morvex.cli import entry

if __name__ == "__main__":
    entry()
