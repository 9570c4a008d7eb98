"""Time conversions.

SDK records stamp times as integer milliseconds since the Unix epoch;
callers divide by 1000 and pass SECONDS here (a float such as
1700000000.5). Results are naive local-time objects.
"""

import datetime


def convert_int_to_datetime(seconds):
    """Seconds since the epoch -> naive local datetime (sub-second kept)."""
    return datetime.datetime.fromtimestamp(seconds)


def convert_int_to_whole_date(seconds):
    """Seconds since the epoch -> naive local date of that whole second."""
    # fromtimestamp rejects non-numbers with TypeError before int() could
    # accept a numeric string
    datetime.datetime.fromtimestamp(seconds)
    return datetime.datetime.fromtimestamp(int(seconds)).date()
