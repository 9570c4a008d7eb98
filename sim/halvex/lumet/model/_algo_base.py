"""Shared behaviour of the algo order models (parent order, child order,
child trade).

Merge rule for ``from_tovik(record, existing)``:

* the result is always a NEW object; ``existing`` is never touched;
* it starts from a shallow copy of ``existing``'s fields (or all None when
  ``existing`` is None);
* every field the record carries that is not None overwrites the copy;
* ``update_count`` is ``existing.update_count + 1`` (1 for a new object).
"""


class AlgoModel:

    FIELDS = ()   # set by each subclass, same names as the SDK record

    def __init__(self, **fields):
        for name in self.FIELDS:
            setattr(self, name, fields.pop(name, None))
        self.update_count = fields.pop("update_count", 0)
        if fields:
            raise TypeError("%s got unknown fields: %s"
                            % (type(self).__name__, ", ".join(sorted(fields))))

    @classmethod
    def from_tovik(cls, record, existing):
        if existing is None:
            obj = cls()
            count = 0
        else:
            obj = cls(**{name: getattr(existing, name) for name in cls.FIELDS})
            count = existing.update_count
        for name in cls.FIELDS:
            value = getattr(record, name, None)
            if value is not None:
                setattr(obj, name, value)
        obj.update_count = count + 1
        return obj

    def _values(self):
        return tuple(getattr(self, name) for name in self.FIELDS) + (
            self.update_count,)

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    __hash__ = None

    def __repr__(self):
        parts = ["%s=%r" % (name, getattr(self, name)) for name in self.FIELDS]
        parts.append("update_count=%r" % self.update_count)
        return "%s(%s)" % (type(self).__name__, ", ".join(parts))
