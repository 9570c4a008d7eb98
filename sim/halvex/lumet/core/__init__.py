"""Core pieces of the host framework (events)."""
