"""Host loggers.

Each ``Logger`` keeps the last 100000 messages in ``records`` as
``(level, text)`` pairs, so tests and tools can read what was logged,
and forwards every message to the stdlib logger of the same name.
"""

import collections
import logging


class Logger:

    def __init__(self, name):
        self.name = name
        self.records = collections.deque(maxlen=100000)
        self._logger = logging.getLogger(name)

    def _log(self, level, text):
        self.records.append((level, text))
        getattr(self._logger, level)(text)

    def debug(self, text):
        self._log("debug", text)

    def info(self, text):
        self._log("info", text)

    def warning(self, text):
        self._log("warning", text)

    def error(self, text):
        self._log("error", text)

    def clear(self):
        self.records.clear()

    def lines(self, level=None):
        """Texts logged so far, oldest first; only one level if given."""
        return [text for lvl, text in self.records
                if level is None or lvl == level]


system_log = Logger("system")
user_system_log = Logger("user_system")
