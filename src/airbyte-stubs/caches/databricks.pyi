# airbyte has no Databricks cache; corvel serves this module from corvel._databricks.cache.
from corvel._databricks.cache import DatabricksCache as DatabricksCache, DatabricksConfig as DatabricksConfig
