"""Accounts, assets and positions as the host keeps them."""
