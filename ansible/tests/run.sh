#!/usr/bin/env bash
# The tests of the Ansible collection: builds it, installs it from its tarball into a temporary
# directory without network, renders the documentation of its plugins with ansible-doc, runs the
# offline sanity checks, the unit tests of the modules' decisions and the playbook tests on the
# simulator given (default: the release build's panelcfg-sim).
set -euo pipefail
cd "$(dirname "$0")/../.."
sim=$(realpath "${1:-build/release/src/app/src/sim/panelcfg-sim}")
python=/usr/bin/python3 # the Python of Debian's ansible-core
export PYTHONDONTWRITEBYTECODE=1 # the source tree stays as it is (it is packaged as it stands)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

ansible-galaxy collection build ansible/ansible_collections/panelcfg/panels --output-path "$work/dist"
ansible-galaxy collection install --offline -p "$work/collections" "$work"/dist/panelcfg-panels-*.tar.gz
export ANSIBLE_COLLECTIONS_PATH="$work/collections"
installed="$work/collections/ansible_collections/panelcfg/panels"

for plugin in "panelcfg.panels.panel_mode" "panelcfg.panels.panel_info" "-t filter panelcfg.panels.panel_line" "-t filter panelcfg.panels.fleet_report"; do
  # shellcheck disable=SC2086 # the plugin type option is meant to split
  ansible-doc $plugin >"$work/doc.txt"
  for part in EXAMPLES RETURN; do
    grep -q "^$part" "$work/doc.txt" || {
      echo "ansible-doc $plugin shows no $part" >&2
      exit 1
    }
  done
  echo "ansible-doc $plugin: $(head -1 "$work/doc.txt")"
done

bash ansible/tests/sanity.sh

PANELCFG_SIM="$sim" PYTHONPATH="$work/collections" "$python" -m pytest -p no:cacheprovider -rs \
  "$installed/tests/unit" ansible/tests
