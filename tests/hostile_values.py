"""Re-entrant hostile values for the simulator tests."""


class Hostile:
    """A number and a tag whose conversions, hashing, comparisons and text call
    back into a block once (`action`); its hash equals that of the tag it
    imitates, so a dictionary lookup of that tag compares with it."""

    def __init__(self, action, imitates="MV1", number=12.0):
        self.action, self.imitates, self.number, self.done = action, imitates, number, False

    def _once(self):
        if not self.done:
            self.done = True
            self.action()

    def __float__(self):
        self._once()
        return self.number

    def __index__(self):
        self._once()
        return 1

    def __hash__(self):
        self._once()
        return hash(self.imitates)

    def __eq__(self, other):
        self._once()
        return False

    def __str__(self):
        self._once()
        return "hostile"

    __repr__ = __str__
