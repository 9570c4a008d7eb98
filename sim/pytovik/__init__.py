"""pytovik: the trading SDK (plain-Python stand-in).

Submodules: ``enums``, ``records``, ``strategy``, ``timer``.
Nothing is imported here; import the submodule you need.
"""
