"""vcansim: control of the virtual CAN platform from Python (bus lifetime, simulated drivers,
pytest fixtures). Importing the package itself has no side effects."""
