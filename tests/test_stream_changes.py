"""Which streams and record members an upgrade breaks: between two streams documents, and through the dry run
and `corvel outdated`."""

import json
from pathlib import Path

import pytest

from corvel.stream_changes import changes, counted, stream_changes

# the streams of airbyte-source-sendgrid 0.5.0 and 1.0.0, read from the manifests of their PyPI releases
# (references resolved, descriptions and titles left out)
SENDGRID = Path(__file__).parent / "stream_documents"


def document(**streams):
    return {"connector": "source-test", "version": "1.0.0", "origin": "manifest",
            "streams": {name: {"schema": schema, "primary_key": key} for name, (schema, key) in streams.items()}}


def record(required=(), **members):
    return {"type": "object", "properties": members, **({"required": list(required)} if required else {})}


NULLABLE_INT = {"type": ["null", "integer"]}


@pytest.mark.parametrize(("old", "new", "lines"), [
    pytest.param(document(users=(record(), [["id"]]), orders=(record(), [])),
                 document(users=(record(), [["id"]]), refunds=(record(), [])),
                 ["stream orders removed", "stream refunds added"], id="streams"),
    pytest.param(document(users=(record(age=NULLABLE_INT, address=record(city={"type": "string"}, zip={})), [])),
                 document(users=(record(address=record(zip={})), [])),
                 ["users.address.city removed", "users.age removed"], id="members removed, nested"),
    pytest.param(document(users=(record(age=NULLABLE_INT, tags={"type": "array", "items": {"type": "string"}}),
                                 [])),
                 document(users=(record(age={"type": ["string", "null"]},
                                        tags={"type": "array", "items": {"type": "string", "format": "date"}}),
                                 [])),
                 ["users.age: integer -> string", "users.tags[]: string -> string(date)"], id="retyped"),
    pytest.param(document(users=(record(age=NULLABLE_INT, name={"type": "string"}), [])),
                 document(users=(record(["name"], age={"type": "integer"}, name={"type": "string"}), [])),
                 ["users.age: no longer nullable", "users.name: now required"], id="made non-null"),
    pytest.param(document(users=(record(), [["id"]]), orders=(record(), [])),
                 document(users=(record(), [["id"], ["account", "id"]]), orders=(record(), [["id"]])),
                 ["orders primary key: [] -> [id]", "users primary key: [id] -> [id, account.id]"],
                 id="primary keys"),
    pytest.param(document(users=(record(age=NULLABLE_INT, card=record(number={"type": "string"})), [])),
                 document(users=(record(age={"anyOf": [{"type": "null"}, {"type": "integer"}]}, extra={},
                                        card={"oneOf": [{"type": "null"}, record(number={"type": "string"})]}),
                                 [])),
                 [], id="same types written otherwise, a member added"),
])
def test_stream_changes(old, new, lines):
    assert stream_changes(old, new) == lines


def test_real_releases_name_the_dropped_streams():
    old, new = (json.loads((SENDGRID / f"source-sendgrid-{v}.json").read_text()) for v in ("0.5.0", "1.0.0"))
    assert stream_changes(old, new) == [
        "bounces primary key: [email] -> []",
        "stream contacts removed",
        "stream messages removed",
        "segments.contact_count removed",
        "segments.parent_list_id removed",
        "stream single_sends removed",
        "stream singlesend_stats added",
        "stream singlesends added",
        "spam_reports primary key: [email] -> []",
        "suppression_group_members primary key: [group_id] -> [group_id, email]",
        "templates.generation: no longer nullable",
        "templates.name: no longer nullable",
        "stream unsubscribe_groups removed",
    ]
    assert counted(changes(old, new)) == "6 removed, 2 made non-null, 3 key changed, 2 added"
    assert counted(changes(new, new)) == "no change"
