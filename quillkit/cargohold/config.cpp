// Configuration files: YAML files, texts and templates; JSON with line comments.
#include "cargohold.hpp"

namespace quillkit::cargohold {

namespace {

nb::object save_yaml_template(Call&, nb::handle, nb::handle, nb::handle) { not_built_yet("save_yaml_template"); }
nb::object load_yaml_config(Call&, nb::handle, nb::handle) { not_built_yet("load_yaml_config"); }
nb::object load_yaml_string(Call&, nb::handle, nb::handle, nb::handle) { not_built_yet("load_yaml_string"); }
nb::object load_json_config(Call&, nb::handle, nb::handle) { not_built_yet("load_json_config"); }

const Param kLogger{"logger", Rule::any, nullptr, Default::none()};

}  // namespace

const Function kSaveYamlTemplate{
    "save_yaml_template",
    save_yaml_template,
    {Param{"template_content", Rule::str, "str"},
     Param{"output_file", Rule::str, "str", Default::text("default_config.yaml")}, kLogger},
    Returns{"str", Rule::str},
    "將 YAML 範本文字原樣寫入檔案（不建立上層目錄），回傳檔案的絕對路徑。\n\n"
    "    範例：\n"
    "        path = save_yaml_template(\"key: value\\n\", \"config.yaml\")"};

const Function kLoadYamlConfig{
    "load_yaml_config",
    load_yaml_config,
    {Param{"file_path", Rule::str, "str"}, kLogger},
    Returns{},
    "以 yaml.safe_load 讀取 YAML 設定檔；失敗時記錄錯誤並回傳 None。\n\n"
    "    範例：\n"
    "        config = load_yaml_config(\"config.yaml\")"};

const Function kLoadYamlString{
    "load_yaml_string",
    load_yaml_string,
    {Param{"yaml_content", Rule::str, "str"}, Param{"label", Rule::str, "str", Default::text("YAML 內容")},
     kLogger},
    Returns{},
    "以 yaml.safe_load 解析 YAML 文字；失敗時記錄錯誤並回傳 None。\n\n"
    "    範例：\n"
    "        defaults = load_yaml_string(DEFAULT_YAML, label=\"預設設定\")"};

const Function kLoadJsonConfig{
    "load_json_config",
    load_json_config,
    {Param{"file_path", Rule::str, "str"}, Param{"required_keys", Rule::list, "list[str]", Default::none()}},
    Returns{},
    "讀取 JSON 設定檔，支援 // 註解，並可檢查必要的 key。\n\n"
    "    提供 required_keys 時依序回傳各 key 的值（tuple），方便直接拆解：\n"
    "        host, port = load_json_config(\"config.json\", required_keys=[\"host\", \"port\"])"};

}  // namespace quillkit::cargohold
