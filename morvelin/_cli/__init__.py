"""The command line behind ``python -m morvelin`` and the ``morvelin`` script."""
