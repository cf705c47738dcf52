"""The class every generated object model derives from."""

from pydantic import BaseModel, ConfigDict


class ConfigurationModel(BaseModel):
    """A pydantic model whose validator is built when the class is first used, not when its module runs.

    Importing the index runs every model module of the tree (hundreds), while
    a program uses a few of their classes: building each validator at first
    use keeps the import cheap, and lets corvel adjust a class before it is built.
    """

    model_config = ConfigDict(defer_build=True)
