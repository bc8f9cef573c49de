"""Drawings of circuits: ``layout`` places the operations in columns, ``text``
and ``mpl`` render that layout as a text diagram and as a matplotlib figure."""
