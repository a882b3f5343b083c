#!/usr/bin/env bash
# The sanity checks of the collection that work offline: validate-modules, pep8 and yamllint,
# run as ansible-test runs them, but straight from ansible-test's own scripts with the system
# Python; then pep8 and yamllint of the playbook tests beside it. (ansible-test sanity itself
# builds a virtual environment for each test and fetches pip and the pinned checkers from the
# network, which a build machine may not reach.)
set -euo pipefail
cd "$(dirname "$0")/../ansible_collections/panelcfg/panels"
python=/usr/bin/python3
sanity=$("$python" -c 'import ansible_test, os; print(os.path.join(os.path.dirname(ansible_test.__file__), "_util/controller/sanity"))')
version=$(sed -n 's/^version: *//p' galaxy.yml)
ignore=tests/sanity/ignore-2.14.txt
collections=$(cd ../../.. && pwd)
mapfile -t modules < <(find plugins/modules -name '*.py' | sort)
mapfile -t pyfiles < <(find plugins tests -name '*.py' -not -path 'tests/output/*' | sort)
mapfile -t yamlfiles < <(find . -name '*.yml' -not -path './tests/output/*' | sort)

echo "sanity: validate-modules"
# validate.py exits 3 when it reports errors: the ones not ignored are sorted out below.
status=0
ANSIBLE_COLLECTIONS_PATH="$collections" PYTHONPATH="$collections:$sanity/validate-modules" \
  "$python" "$sanity/validate-modules/validate.py" --format json --arg-spec \
  --collection ansible_collections/panelcfg/panels --collection-version "$version" \
  "${modules[@]}" >tests/validate-modules.json || status=$?
[ "$status" -eq 0 ] || [ "$status" -eq 3 ] || exit "$status"
"$python" - "$ignore" tests/validate-modules.json <<'PY'
import json, sys
ignored = set()
for line in open(sys.argv[1]):
    parts = line.split('#')[0].split()
    if len(parts) == 2 and parts[1].startswith('validate-modules:'):
        ignored.add((parts[0], parts[1].split(':', 1)[1]))
found = []
for path, result in json.load(open(sys.argv[2])).items():
    for e in result['errors']:
        if (path, e['code']) not in ignored:
            found.append('%s:%s: %s: %s' % (path, e['line'], e['code'], e['msg']))
for f in found:
    print(f)
sys.exit(1 if found else 0)
PY
rm -f tests/validate-modules.json

echo "sanity: pep8"
"$python" -m pycodestyle --max-line-length 160 --config /dev/null \
  --ignore "$(paste -sd, "$sanity/pep8/current-ignore.txt")" "${pyfiles[@]}"

echo "sanity: yamllint (files and the documentation of the modules)"
"$python" "$sanity/yamllint/yamllinter.py" "${yamlfiles[@]}" "${modules[@]}" | "$python" -c '
import json, sys
found = json.load(sys.stdin)["messages"]
for m in found:
    print("%(path)s:%(line)s:%(column)s: %(code)s: %(message)s" % m)
sys.exit(1 if found else 0)
'
echo "sanity: pep8 and yamllint of the playbook tests"
cd ../../../tests
"$python" -m pycodestyle --max-line-length 160 --config /dev/null \
  --ignore "$(paste -sd, "$sanity/pep8/current-ignore.txt")" ./*.py callback_plugins/*.py
"$python" -m yamllint -s -d '{extends: default, rules: {line-length: {max: 160}}}' playbooks
echo "sanity: all passed"
