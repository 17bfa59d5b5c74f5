"""Generated YAML-like documents for the YAML benchmarks: trees of dict, list,
str, int, float, bool and None shaped like Kubernetes manifests, CI pipelines
and OpenAPI descriptions, grown to a requested size.

`document(kind, size)` gives a tree whose block YAML text is about `size`
bytes; `documents()` gives every kind at 1 KB, 100 KB and 5 MB. The trees are
the same at every run (a seeded generator), so figures compare across runs.
"""

import random

import yaml

SIZES = {"1KB": 1_000, "100KB": 100_000, "5MB": 5_000_000}


def _words(rng, count):
    vocabulary = ["app", "web", "api", "worker", "cache", "db", "auth", "edge", "batch", "queue",
                  "metrics", "proxy", "frontend", "backend", "search", "billing", "report"]
    return "-".join(rng.choice(vocabulary) for _ in range(count))


def _kubernetes_item(rng, i):
    name = f"{_words(rng, 2)}-{i}"
    labels = {"app": name, "tier": rng.choice(["frontend", "backend"]), "version": f"v{i % 7}.{i % 3}"}
    return {
        "apiVersion": "apps/v1",
        "kind": "Deployment",
        "metadata": {"name": name, "namespace": rng.choice(["default", "prod", "staging"]),
                     "labels": labels,
                     "annotations": {"deployment.kubernetes.io/revision": str(i % 9 + 1),
                                     "description": f"Serves the {name} endpoints: read, write and "
                                                    "health checks behind the shared ingress."}},
        "spec": {
            "replicas": rng.randint(1, 12),
            "selector": {"matchLabels": {"app": name}},
            "strategy": {"type": "RollingUpdate",
                         "rollingUpdate": {"maxSurge": "25%", "maxUnavailable": 0}},
            "template": {
                "metadata": {"labels": dict(labels)},
                "spec": {
                    "containers": [{
                        "name": name,
                        "image": f"registry.example.com/{name}:1.{i % 20}.{i % 5}",
                        "imagePullPolicy": "IfNotPresent",
                        "args": ["--port=8080", f"--workers={rng.randint(1, 8)}", "--log-level=info"],
                        "ports": [{"containerPort": 8080, "protocol": "TCP", "name": "http"}],
                        "env": [{"name": f"ENV_{k}", "value": rng.choice(["true", "1.5", "yes", "", "on", f"value {k}"])}
                                for k in range(rng.randint(2, 6))],
                        "resources": {"limits": {"cpu": "500m", "memory": "512Mi"},
                                      "requests": {"cpu": 0.25, "memory": "256Mi"}},
                        "readinessProbe": {"httpGet": {"path": "/healthz", "port": 8080},
                                           "initialDelaySeconds": 5, "periodSeconds": 10},
                    }],
                    "nodeSelector": None,
                    "restartPolicy": "Always",
                },
            },
        },
    }


def _ci_item(rng, i):
    return {
        f"job-{i}-{_words(rng, 1)}": {
            "stage": rng.choice(["build", "test", "deploy"]),
            "image": "python:3.13-slim",
            "script": [f"pip install -r requirements-{i}.txt", "pytest -q --maxfail=1",
                       f"echo 'done: {i}' >> log.txt", "make lint && make docs"],
            "variables": {"PYTHONUNBUFFERED": "1", "RETRIES": rng.randint(0, 3),
                          "TIMEOUT": f"{rng.randint(5, 60)}m"},
            "rules": [{"if": "$CI_COMMIT_BRANCH == 'main'", "when": "always"},
                      {"changes": ["src/**/*.py", "tests/**"], "when": "on_success"}],
            "cache": {"key": "${CI_JOB_NAME}", "paths": [".cache/pip", ".venv/"]},
            "allow_failure": rng.random() < 0.2,
            "retry": 2,
        }
    }


def _openapi_item(rng, i):
    resource = _words(rng, 1)
    return {
        f"/{resource}s/{{id}}/items-{i}": {
            "get": {
                "summary": f"Returns the {resource} item {i} with its history",
                "operationId": f"get{resource.title()}{i}",
                "parameters": [{"name": "id", "in": "path", "required": True,
                                "schema": {"type": "integer", "format": "int64", "minimum": 1}},
                               {"name": "limit", "in": "query", "required": False,
                                "schema": {"type": "number", "default": 20.5, "maximum": 1e3}}],
                "responses": {
                    "200": {"description": "OK",
                            "content": {"application/json": {"schema": {
                                "$ref": f"#/components/schemas/{resource.title()}"}}}},
                    "404": {"description": "Not found: the id names no item."},
                },
                "tags": [resource, "v2"],
                "deprecated": False,
            }
        }
    }


_KINDS = {
    "kubernetes": (_kubernetes_item, lambda items: {"apiVersion": "v1", "kind": "List", "items": items}),
    "ci": (_ci_item, lambda items: {"stages": ["build", "test", "deploy"],
                                    "default": {"tags": ["linux"]}, "jobs": _merged(items)}),
    "openapi": (_openapi_item, lambda items: {"openapi": "3.0.3",
                                              "info": {"title": "Example API", "version": "2.1.0"},
                                              "paths": _merged(items)}),
}


def _merged(items):
    merged = {}
    for item in items:
        merged.update(item)
    return merged


def document(kind, size):
    """A `kind` document ("kubernetes", "ci" or "openapi") of about `size`
    bytes of block YAML."""
    make_item, wrap = _KINDS[kind]
    rng = random.Random(f"{kind}-{size}")
    one = len(yaml.dump(make_item(random.Random(0), 0), allow_unicode=True, sort_keys=False))
    count = max(1, round(size / one))
    return wrap([make_item(rng, i) for i in range(count)])


def documents(kinds=tuple(_KINDS), sizes=tuple(SIZES)):
    """(kind, size label, tree) for each kind and size."""
    for size in sizes:
        for kind in kinds:
            yield kind, size, document(kind, SIZES[size])


if __name__ == "__main__":
    for kind, size, tree in documents(sizes=("1KB", "100KB")):
        print(kind, size, len(yaml.dump(tree, allow_unicode=True, sort_keys=False)))
