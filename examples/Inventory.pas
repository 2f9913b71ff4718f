{ Inventory: stock items, warehouses and movements for a small shop.

  The unit keeps an in-memory catalogue of items, records every stock
  movement and can report what needs to be reordered. }
unit Inventory;

{$IF CompilerVersion < 28.0}
  {$MESSAGE FATAL 'Inventory needs Delphi XE7 or later'}
{$ENDIF}
{$SCOPEDENUMS OFF}
{$R-,Q-}

interface

uses
  System.SysUtils,
  System.Classes,
  System.Generics.Collections,
  System.Rtti;

const
  DefaultReorderLevel = 5;
  MaxItemsPerWarehouse = 10000;
  VatRate: Double = 0.2;

resourcestring
  SItemNotFound = 'Item "%s" was not found';
  SNotEnoughStock = 'Not enough stock of %s: %d requested, %d available';
  SWarehouseFull = 'Warehouse %s is full';

type
  TItemCategory = (icGeneral, icFood, icTools, icOther);
  TItemFlag = (ifFragile, ifPerishable, ifHazardous, ifDiscontinued);
  TItemFlags = set of TItemFlag;

  EInventoryError = class(Exception);

  { Marks a field or method for the export writer. }
  ExportNameAttribute = class(TCustomAttribute)
  private
    FName: string;
  public
    constructor Create(const AName: string);
    property Name: string read FName;
  end;

  AuditedAttribute = class(TCustomAttribute);

  IStockObserver = interface
    ['{6F1C2A3B-9D4E-4B7A-8C21-3E5F6A7B8C9D}']
    procedure StockChanged(const ItemCode: string; OldQuantity, NewQuantity: Integer);
  end;

  TMovementKind = (mkReceipt, mkIssue, mkTransfer, mkAdjustment);

  { One stock movement. The variant part holds what depends on the kind. }
  TMovement = record
    ItemCode: string[20];
    Quantity: Integer;
    When: TDateTime;
    case Kind: TMovementKind of
      mkReceipt: (SupplierId: Integer; UnitCost: Currency);
      mkIssue: (CustomerId: Integer);
      mkTransfer: (FromWarehouse, ToWarehouse: Word);
      mkAdjustment: (Reason: Byte);
  end;

  TMovementHelper = record helper for TMovement
    function Describe: string;
  end;

  TStockChangeEvent = procedure(Sender: TObject; const ItemCode: string;
    Delta: Integer) of object;

  TInventoryObject = class abstract(TPersistent)
  strict private
    FCreatedAt: TDateTime;
  protected
    function GetDisplayName: string; virtual; abstract;
  public
    constructor Create; virtual;
    property CreatedAt: TDateTime read FCreatedAt;
    property DisplayName: string read GetDisplayName;
  end;

  [Audited]
  TStockItem = class(TInventoryObject)
  private
    [ExportName('code')]
    FCode: string;
    [ExportName('name')]
    FName: string;
    FCategory: TItemCategory;
    FFlags: TItemFlags;
    FQuantity: Integer;
    FUnitPrice: Currency;
    FReorderLevel: Integer;
    FOnChange: TStockChangeEvent;
    procedure SetQuantity(const Value: Integer);
  protected
    function GetDisplayName: string; override;
  public
    constructor Create(const ACode, AName: string;
      ACategory: TItemCategory = icGeneral); reintroduce;
    [Audited]
    function PriceWithVat: Currency; inline;
    function NeedsReorder: Boolean;
    property Code: string read FCode;
    property Quantity: Integer read FQuantity write SetQuantity;
  published
    property Name: string read FName write FName;
    property Category: TItemCategory read FCategory write FCategory default icGeneral;
    property Flags: TItemFlags read FFlags write FFlags;
    property UnitPrice: Currency read FUnitPrice write FUnitPrice;
    property ReorderLevel: Integer read FReorderLevel write FReorderLevel
      default DefaultReorderLevel;
    property OnChange: TStockChangeEvent read FOnChange write FOnChange;
  end;

  { A keyed list of catalogue objects that owns its entries. }
  TCatalogue<T: TInventoryObject> = class
  private
    FItems: TObjectDictionary<string, T>;
    function GetCount: Integer;
    function GetItem(const Key: string): T;
  public
    constructor Create;
    destructor Destroy; override;
    procedure Add(const Key: string; const Item: T);
    function TryFind(const Key: string; out Item: T): Boolean;
    function Keys: TArray<string>;
    property Count: Integer read GetCount;
    property Items[const Key: string]: T read GetItem; default;
  end;

  TWarehouse = class sealed(TComponent)
  private
    FItems: TCatalogue<TStockItem>;
    FObservers: TList<IStockObserver>;
    FMovements: TList<TMovement>;
    FOnStockChange: TStockChangeEvent;
    procedure ItemChanged(Sender: TObject; const ItemCode: string; Delta: Integer);
  public
    constructor Create(AOwner: TComponent); override;
    destructor Destroy; override;
    function AddItem(const ACode, AName: string; ACategory: TItemCategory = icGeneral;
      AQuantity: Integer = 0): TStockItem;
    procedure Receive(const ACode: string; AQuantity: Integer; AUnitCost: Currency);
    function Issue(const ACode: string; AQuantity: Integer; var Remaining: Integer): Boolean;
    procedure ReorderList(Lines: TStrings; MinLevel: Integer = -1);
    procedure Subscribe(const Observer: IStockObserver);
    property Items: TCatalogue<TStockItem> read FItems;
  published
    property OnStockChange: TStockChangeEvent read FOnStockChange write FOnStockChange;
  end;

procedure SplitCode(const Code: string; out Prefix: string; out Number: Integer);
function TotalValue(Warehouse: TWarehouse; Flags: TItemFlags = []): Currency;

var
  DefaultWarehouse: TWarehouse = nil;

implementation

uses
  System.Math;

type
  TMovementLog = TList<TMovement>;

{ ExportNameAttribute }

constructor ExportNameAttribute.Create(const AName: string);
begin
  inherited Create;
  FName := AName;
end;

{ TMovementHelper }

function TMovementHelper.Describe: string;
begin
  case Kind of
    mkReceipt:
      Result := Format('%d x %s received at %m', [Quantity, ItemCode, UnitCost]);
    mkIssue:
      Result := Format('%d x %s issued to customer %d', [Quantity, ItemCode, CustomerId]);
    mkTransfer:
      Result := Format('%d x %s moved %d -> %d', [Quantity, ItemCode, FromWarehouse, ToWarehouse]);
  else
    Result := Format('%d x %s adjusted (reason %d)', [Quantity, ItemCode, Reason]);
  end;
end;

{ TInventoryObject }

constructor TInventoryObject.Create;
begin
  inherited Create;
  FCreatedAt := Now;
end;

{ TStockItem }

constructor TStockItem.Create(const ACode, AName: string; ACategory: TItemCategory);
begin
  inherited Create;
  FCode := ACode;
  FName := AName;
  FCategory := ACategory;
  FReorderLevel := DefaultReorderLevel;
end;

function TStockItem.GetDisplayName: string;
begin
  Result := FCode + ' - ' + FName;
end;

procedure TStockItem.SetQuantity(const Value: Integer);
var
  Delta: Integer;
begin
  if Value = FQuantity then
    Exit;
  Delta := Value - FQuantity;
  FQuantity := Value;
  if Assigned(FOnChange) then
    FOnChange(Self, FCode, Delta);
end;

function TStockItem.PriceWithVat: Currency;
begin
  Result := FUnitPrice * (1 + VatRate);
end;

function TStockItem.NeedsReorder: Boolean;
begin
  Result := not (ifDiscontinued in FFlags) and (FQuantity <= FReorderLevel);
end;

{ TCatalogue<T> }

constructor TCatalogue<T>.Create;
begin
  inherited Create;
  FItems := TObjectDictionary<string, T>.Create([doOwnsValues]);
end;

destructor TCatalogue<T>.Destroy;
begin
  FItems.Free;
  inherited;
end;

function TCatalogue<T>.GetCount: Integer;
begin
  Result := FItems.Count;
end;

function TCatalogue<T>.GetItem(const Key: string): T;
begin
  if not FItems.TryGetValue(Key, Result) then
    raise EInventoryError.CreateResFmt(@SItemNotFound, [Key]);
end;

procedure TCatalogue<T>.Add(const Key: string; const Item: T);
begin
  FItems.AddOrSetValue(Key, Item);
end;

function TCatalogue<T>.TryFind(const Key: string; out Item: T): Boolean;
begin
  Result := FItems.TryGetValue(Key, Item);
end;

function TCatalogue<T>.Keys: TArray<string>;
begin
  Result := FItems.Keys.ToArray;
  TArray.Sort<string>(Result);
end;

{ TWarehouse }

constructor TWarehouse.Create(AOwner: TComponent);
begin
  inherited Create(AOwner);
  FItems := TCatalogue<TStockItem>.Create;
  FObservers := TList<IStockObserver>.Create;
  FMovements := TMovementLog.Create;
end;

destructor TWarehouse.Destroy;
begin
  FMovements.Free;
  FObservers.Free;
  FItems.Free;
  inherited Destroy;
end;

procedure TWarehouse.ItemChanged(Sender: TObject; const ItemCode: string; Delta: Integer);
var
  Observer: IStockObserver;
  NewQuantity: Integer;
begin
  NewQuantity := (Sender as TStockItem).Quantity;
  for Observer in FObservers do
    Observer.StockChanged(ItemCode, NewQuantity - Delta, NewQuantity);
  if Assigned(FOnStockChange) then
    FOnStockChange(Self, ItemCode, Delta);
end;

function TWarehouse.AddItem(const ACode, AName: string; ACategory: TItemCategory;
  AQuantity: Integer): TStockItem;
begin
  if FItems.Count >= MaxItemsPerWarehouse then
    raise EInventoryError.CreateFmt(SWarehouseFull, [Name]);
  Result := TStockItem.Create(ACode, AName, ACategory);
  try
    Result.Quantity := AQuantity;
    Result.OnChange := ItemChanged;
    FItems.Add(ACode, Result);
  except
    Result.Free;
    raise;
  end;
end;

procedure TWarehouse.Receive(const ACode: string; AQuantity: Integer; AUnitCost: Currency);
var
  Movement: TMovement;
begin
  FillChar(Movement, SizeOf(Movement), 0);
  with Movement do
  begin
    ItemCode := ACode;
    Quantity := AQuantity;
    When := Now;
    Kind := mkReceipt;
    UnitCost := AUnitCost;
  end;
  FMovements.Add(Movement);
  with FItems[ACode] do
    Quantity := Quantity + AQuantity;
end;

function TWarehouse.Issue(const ACode: string; AQuantity: Integer;
  var Remaining: Integer): Boolean;
var
  Item: TStockItem;
  Movement: TMovement;
begin
  Result := False;
  if not FItems.TryFind(ACode, Item) then
    Exit;
  if Item.Quantity < AQuantity then
    raise EInventoryError.CreateFmt(SNotEnoughStock, [ACode, AQuantity, Item.Quantity]);
  Movement := Default(TMovement);
  Movement.ItemCode := ACode;
  Movement.Quantity := AQuantity;
  Movement.Kind := mkIssue;
  FMovements.Add(Movement);
  Item.Quantity := Item.Quantity - AQuantity;
  Remaining := Item.Quantity;
  Result := True;
end;

procedure TWarehouse.ReorderList(Lines: TStrings; MinLevel: Integer);

  function FormatLine(Item: TStockItem): string;
  begin
    Result := Format('%-12s %-30s %5d', [Item.Code, Item.Name, Item.Quantity]);
    if ifHazardous in Item.Flags then
      Result := Result + ' (hazardous)';
  end;

var
  Key: string;
  Item: TStockItem;
  Index: Integer;
  Codes: TArray<string>;
begin
  Lines.BeginUpdate;
  try
    Lines.Clear;
    Codes := FItems.Keys;
    Index := 0;
    while Index < Length(Codes) do
    begin
      Key := Codes[Index];
      Item := FItems[Key];
      if ((MinLevel < 0) and Item.NeedsReorder) or (Item.Quantity <= MinLevel) then
        Lines.Add(FormatLine(Item));
      Inc(Index);
    end;
  finally
    Lines.EndUpdate;
  end;
end;

procedure TWarehouse.Subscribe(const Observer: IStockObserver);
begin
  if FObservers.IndexOf(Observer) < 0 then
    FObservers.Add(Observer);
end;

{ Free routines }

procedure SplitCode(const Code: string; out Prefix: string; out Number: Integer);
var
  I: Integer;
begin
  // Walk back over the trailing digits.
  I := Length(Code) + 1;
  repeat
    Dec(I);
  until (I = 0) or not CharInSet(Code[I], ['0'..'9']);
  Prefix := Copy(Code, 1, I);
  try
    Number := StrToInt(Copy(Code, I + 1, MaxInt));
  except
    on EConvertError do
      Number := -1;
  end;
end;

function TotalValue(Warehouse: TWarehouse; Flags: TItemFlags): Currency;
var
  Keys: TArray<string>;
  I: Integer;
  Item: TStockItem;
begin
  Result := 0;
  Keys := Warehouse.Items.Keys;
  for I := Low(Keys) to High(Keys) do
  begin
    Item := Warehouse.Items[Keys[I]];
    // An empty set of flags counts every item.
    if (Flags = []) or (Flags * Item.Flags <> []) then
      Result := Result + Item.Quantity * Item.UnitPrice;
  end;
  Result := RoundTo(Result, -2);
end;

(* The default warehouse lives as long as the program does. *)
initialization
  DefaultWarehouse := TWarehouse.Create(nil);
  {$IFDEF DEBUG}
  DefaultWarehouse.AddItem('DEMO-1', 'Demonstration item', icOther, 1);
  {$ENDIF}

finalization
  FreeAndNil(DefaultWarehouse);

end.
