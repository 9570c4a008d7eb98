"""Host-side data objects: ticks, orders, trades, level-2 records, algo orders."""
