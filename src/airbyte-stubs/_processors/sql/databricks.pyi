# airbyte has no Databricks processor; corvel serves this module from corvel._databricks.processor.
from corvel._databricks.processor import (
    DatabricksConfig as DatabricksConfig,
    DatabricksSqlProcessor as DatabricksSqlProcessor,
    DatabricksTypeConverter as DatabricksTypeConverter,
)
