# Sourced by scripts/test and scripts/run: nothing here yet needs a running service.
