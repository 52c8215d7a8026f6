"""The tarnwick package of the backtesting product.

``tarnwick.bundle`` (a compiled extension) keeps the intraday part of a data bundle: minute-bar
and tick store files fetched from the market-data service. Other parts of the product install
their own sub-packages under the same name (``tarnwick.utils``), possibly into another
site-packages folder, so the package path spans every installed copy.
"""

__path__ = __import__("pkgutil").extend_path(__path__, __name__)
