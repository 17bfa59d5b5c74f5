"""Plain-Python twins of the 30 helpers: the same host operations, written as
Python functions over the same module globals (datetime, os, shutil, yaml,
parse), so that a benchmark compares the call path and nothing else.

`TWINS` maps each helper's name to its twin.
"""

import datetime
import os.path
import shutil

import yaml
from jsonpath_ng.parser import parse

# --- textkit: conversions and formatting ---------------------------------------------


def str_int(x):
    try:
        return int(x)
    except Exception:
        return 0


def str_float(x):
    try:
        return float(x)
    except Exception:
        return float(0)


def str_time(x, fmt="%Y-%m-%d %H:%M:%S.%f"):
    try:
        return datetime.datetime.strptime(x, fmt).timestamp()
    except Exception as e:
        return e


def str_format(x, *args, **kwargs):
    return x.format(*args, **kwargs)


def str_format_s(x, *args):
    return x % args


# --- textkit: paths ---------------------------------------------------------------------


def str_isfile(x):
    return os.path.isfile(x)


def str_file_delete(x):
    status = str_isfile(x)
    if status:
        os.remove(x)
    return not status


def str_isdir(x):
    return os.path.isdir(x)


def str_dir_delete(x):
    status = str_isdir(x)
    if status:
        shutil.rmtree(x)
    return not status


def str_copy(x, y):
    if os.path.isfile(x):
        shutil.copy(x, y)
    elif os.path.isdir(x):
        shutil.copytree(x, y)
    return not (os.path.isfile(y) or os.path.isdir(y))


def str_move(x, y):
    if os.path.isfile(x) or os.path.isdir(x):
        shutil.move(x, y)
    return not (os.path.isfile(y) or os.path.isdir(y))


# --- textkit: files -------------------------------------------------------------------------


def str_read_yaml(x):
    if not os.path.isfile(x):
        return None
    with open(x, "r", encoding="utf-8") as file:
        data = yaml.load(file, Loader=yaml.FullLoader)
    return data


def str_read_file(x, mode="r", encoding="utf-8"):
    if not os.path.isfile(x):
        return None
    if mode == "rb":
        encoding = None
    with open(x, mode, encoding=encoding) as file:
        data = file.read()
    return data


def str_read_line(x, mode="r", encoding="utf-8"):
    if not os.path.isfile(x):
        return
    if mode == "rb":
        encoding = None
    with open(x, mode, encoding=encoding) as file:
        while True:
            data = file.readline()
            if not data:
                break
            yield data.rstrip()


def str_read_lines(x, mode="r", encoding="utf-8"):
    if not os.path.isfile(x):
        return None
    if mode == "rb":
        encoding = None
    with open(x, mode, encoding=encoding) as file:
        data = file.readlines()
    return data


def str_write_file(x, path, mode="w", encoding="utf-8"):
    if mode == "wb":
        encoding = None
    with open(path, mode, encoding=encoding) as file:
        file.write(x)


# --- textkit: directory listing -----------------------------------------------------------


def str_files_dict(x, dirs=None, skip_dir: list = None, skip_file: list = None):
    old = "/" if os.name == "nt" else "\\"
    new = "\\" if os.name == "nt" else "/"
    dirs = dirs.replace(old, new) if dirs else os.path.basename(x)
    file_dict = {dirs: []}
    for i in os.listdir(x):
        if skip_file and i in skip_file and os.path.isfile(os.path.join(x, i)):
            continue
        if skip_dir and i in skip_dir and os.path.isdir(os.path.join(x, i)):
            continue
        if os.path.isfile(os.path.join(x, i)):
            file_dict[dirs].append(i)
        elif os.path.isdir(os.path.join(x, i)):
            new_root = os.path.join(x, i)
            file_dict.update(str_files_dict(new_root, os.path.join(dirs, i), skip_dir, skip_file))
    return file_dict


def str_files_list(x):
    files_path_list = []
    if str_isdir(x):
        for root, dirs, files in os.walk(x, topdown=False):
            for file in files:
                files_path_list.append(os.path.join(root, file))
    return files_path_list


# --- treekit ----------------------------------------------------------------------------------


def dict_find_path(json, path):
    try:
        result = [i.value for i in parse(path).find(json)]
        return result[0] if result else None
    except Exception:
        return None


def dict_find_all_path(json, path):
    try:
        return [i.value for i in parse(path).find(json)]
    except Exception:
        return None


def dict_update_path(json, path, value=None):
    try:
        parse_json = parse(path)
        parse_json.find_or_create(json)
        parse_json.update(json, value)
    finally:
        return json


def dict_delete_path(json, path, index=1):
    try:
        number = 1
        for i in parse(path).find(json):
            if number == index:
                full_path = i.full_path
                dict_update_path(json, "$.%s" % full_path, "qz_delete")
                parse(path).filter(lambda x: x == "qz_delete", json)
                break
            number += 1
    finally:
        return json


def dict_write_yaml(x, path, mode="w", default_style="", default_flow_style=False,
                    canonical=False, indent=2, allow_unicode=True, encoding=None,
                    sort_keys=False):
    with open(path, mode, encoding=encoding) as yaml_file:
        yaml.dump(x, yaml_file, default_style=default_style,
                  default_flow_style=default_flow_style, canonical=canonical, indent=indent,
                  allow_unicode=allow_unicode, encoding=encoding, sort_keys=sort_keys)


# --- quantkit ---------------------------------------------------------------------------------


def number_str(x):
    return str(x)


def number_int(x):
    return int(x)


def number_float(x):
    return float(x)


def number_time(x, fmt="%Y-%m-%d %H:%M:%S.%f"):
    try:
        datetime_object = datetime.datetime.fromtimestamp(x)
        return datetime_object.strftime(fmt)
    except Exception as e:
        return e


# --- setkit -----------------------------------------------------------------------------------


def list_diff(list1, list2):
    return list(set(list1) - set(list2))


def list_set(list1):
    return list(set(list1))


def list_intersect(list1, list2):
    return list(set(list1) & set(list2))


TWINS = {name: value for name, value in dict(globals()).items()
         if callable(value) and getattr(value, "__module__", None) == __name__}
