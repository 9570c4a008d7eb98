"""Shared shape of the level-2 models (order-book entries and tick-by-tick trades).

A model's attributes are exactly its ``FIELDS``, None until set;
``__from_create__`` takes one value per field, positionally, in that order.
"""


class Level2Model:

    FIELDS = ()   # set by each subclass

    def __init__(self):
        for name in self.FIELDS:
            setattr(self, name, None)

    @classmethod
    def __from_create__(cls, *values):
        if len(values) != len(cls.FIELDS):
            raise TypeError("%s.__from_create__ takes %d values (%s), got %d"
                            % (cls.__name__, len(cls.FIELDS), ", ".join(cls.FIELDS), len(values)))
        obj = cls()
        for name, value in zip(cls.FIELDS, values):
            setattr(obj, name, value)
        return obj

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(
            "%s=%r" % (name, getattr(self, name)) for name in self.FIELDS))
