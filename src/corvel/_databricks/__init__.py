"""Databricks SQL warehouses as an airbyte cache.

Served to airbyte as ``airbyte._processors.sql.databricks`` and
``airbyte.caches.databricks`` by the finder that ``corvel`` installs. The
SQLAlchemy dialect comes from the optional ``databricks-sqlalchemy`` package
(``pip install 'corvel[databricks]'``) and is loaded only when an engine is
created.
"""
